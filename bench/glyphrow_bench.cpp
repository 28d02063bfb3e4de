// Time from spawn to exit of each program, standard output on /dev/null,
// beside /bin/true (the cost of a process at all) and /usr/bin/printf
// writing the same 30 bytes (a small program on the C runtime alone).
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

namespace
{

void
spawn_to_exit(benchmark::State &state, std::vector<const char *> argv)
{
	argv.push_back(nullptr);
	// posix_spawn takes char *const[], but does not change the strings.
	auto *const *args = const_cast<char *const *>(argv.data());

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_addopen(
	    &actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
	for (auto _ : state) {
		pid_t pid = -1;
		int status = 0;
		if (posix_spawn(
		        &pid, args[0], &actions, nullptr, args, environ) != 0 ||
		    waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
		    WEXITSTATUS(status) != 0) {
			state.SkipWithError("the program did not run cleanly");
			break;
		}
	}
	posix_spawn_file_actions_destroy(&actions);
}

// Has no '%' or '\\', so printf writes it as it stands.
const char *const hollow_figure = "********\n *    *\n  *  *\n    *\n";

} // namespace

BENCHMARK_CAPTURE(spawn_to_exit, true, {"/bin/true"})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(spawn_to_exit, printf, {"/usr/bin/printf", hollow_figure})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(spawn_to_exit, glyphrow_hollow, {GLYPHROW_HOLLOW})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(spawn_to_exit, glyphrow_solid, {GLYPHROW_SOLID})
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
