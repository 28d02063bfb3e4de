// Runs the built programs as real processes and checks the bytes they write,
// how they flush them and how they end.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace
{

struct Program {
	std::string name;
	std::string path;
	std::string figure;
	std::string emulator; // runs the program, where it is built for
	                      // another machine
};

// Built for another machine, each program runs under the user-mode
// emulator, and every case holds as it does natively: the emulator makes
// one write of its own for each write of the program; it hands an ignored
// SIGPIPE on to the program, and when the program dies of SIGPIPE it ends
// itself by the same signal, with no message; it opens the program on the
// lowest free descriptor (1, when standard output is closed) but closes it
// again before the program starts, so the program still finds descriptor 1
// closed; and it runs without /proc, in the empty root.
#ifdef GLYPHROW_EMULATOR
const std::string emulator = GLYPHROW_EMULATOR;
#else
const std::string emulator;
#endif

void
PrintTo(const Program &program, std::ostream *stream)
{
	*stream << program.name;
}

// The program of that name in GLYPHROW_TEST_BINDIR, to test what ships;
// otherwise the one this suite was built with.
std::string
program_path(const std::string &name, const char *built)
{
	const char *bindir = std::getenv("GLYPHROW_TEST_BINDIR");
	if (bindir == nullptr || *bindir == '\0')
		return built;
	return (std::filesystem::path(bindir) / name).string();
}

const std::vector<Program> programs = {
    {"glyphrow_hollow", program_path("glyphrow_hollow", GLYPHROW_HOLLOW),
        "********\n"
        " *    *\n"
        "  *  *\n"
        "    *\n",
        emulator},
    {"glyphrow_solid", program_path("glyphrow_solid", GLYPHROW_SOLID),
        "********\n"
        " ******\n"
        "  ****\n"
        "   **\n",
        emulator},
};

enum class Output { pipe, packet_pipe, closed, full_device, broken_pipe };

enum class Sigpipe { default_action, ignored };

struct Outcome {
	std::vector<std::string> reads; // standard output, one entry per read
	std::string output;             // standard output, whole
	std::string errors;             // standard error, whole
	std::string unread_input;       // what the program left on its input
	int status = 0;
};

// What is waiting on standard input; the suite checks it is still there.
const std::string input = "input that must stay unread\n";

void
close_once(int &fd)
{
	if (fd >= 0)
		::close(fd);
	fd = -1;
}

struct Pipe {
	int read = -1;
	int write = -1;

	explicit Pipe(int flags = 0)
	{
		std::array<int, 2> fds{};
		if (pipe2(fds.data(), O_CLOEXEC | flags) != 0)
			ADD_FAILURE() << "pipe2: " << std::strerror(errno);
		read = fds[0];
		write = fds[1];
	}
	Pipe(const Pipe &) = delete;
	Pipe &operator=(const Pipe &) = delete;
	~Pipe()
	{
		close_once(read);
		close_once(write);
	}
};

// Reads until end of file, one entry per read(2). On a packet-mode pipe each
// entry is exactly one write(2) of the writer.
std::vector<std::string>
read_all(int fd)
{
	std::vector<std::string> reads;
	std::array<char, 4096> buffer{};
	ssize_t n = 0;
	while ((n = ::read(fd, buffer.data(), buffer.size())) != 0) {
		if (n < 0) {
			if (errno == EINTR)
				continue;
			break;
		}
		reads.emplace_back(buffer.data(), static_cast<size_t>(n));
	}
	return reads;
}

std::string
joined(const std::vector<std::string> &parts)
{
	std::string whole;
	for (const auto &part : parts)
		whole += part;
	return whole;
}

// Words to put before the program, such as a memory checker, taken from
// GLYPHROW_TEST_LAUNCHER and split at spaces.
std::vector<std::string>
launcher()
{
	std::vector<std::string> words;
	if (const char *value = std::getenv("GLYPHROW_TEST_LAUNCHER")) {
		std::istringstream stream(value);
		for (std::string word; stream >> word;)
			words.push_back(word);
	}
	return words;
}

Outcome
run(const Program &program, Output output = Output::pipe,
    Sigpipe sigpipe = Sigpipe::default_action,
    const std::vector<std::string> &args = {},
    const std::vector<std::string> &wrapper = {})
{
	// The child inherits an ignored SIGPIPE from here; where it should not,
	// the spawn resets it to the default.
	std::signal(SIGPIPE, SIG_IGN);

	Pipe in;
	Pipe out(output == Output::packet_pipe ? O_DIRECT : 0);
	Pipe err;
	if (::write(in.write, input.data(), input.size()) !=
	    static_cast<ssize_t>(input.size()))
		ADD_FAILURE() << "could not fill standard input";
	if (output == Output::broken_pipe)
		close_once(out.read);

	posix_spawn_file_actions_t actions;
	posix_spawn_file_actions_init(&actions);
	posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
	switch (output) {
	case Output::closed:
		posix_spawn_file_actions_addclose(&actions, STDOUT_FILENO);
		break;
	case Output::full_device:
		posix_spawn_file_actions_addopen(
		    &actions, STDOUT_FILENO, "/dev/full", O_WRONLY, 0);
		break;
	default:
		posix_spawn_file_actions_adddup2(
		    &actions, out.write, STDOUT_FILENO);
	}
	posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);

	posix_spawnattr_t attributes;
	posix_spawnattr_init(&attributes);
	sigset_t signals;
	sigemptyset(&signals);
	posix_spawnattr_setsigmask(&attributes, &signals);
	if (sigpipe == Sigpipe::default_action)
		sigaddset(&signals, SIGPIPE);
	posix_spawnattr_setsigdefault(&attributes, &signals);
	posix_spawnattr_setflags(
	    &attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

	std::vector<std::string> words = launcher();
	words.insert(words.end(), wrapper.begin(), wrapper.end());
	if (!program.emulator.empty())
		words.push_back(program.emulator);
	words.push_back(program.path);
	words.insert(words.end(), args.begin(), args.end());
	std::vector<char *> argv;
	argv.reserve(words.size() + 1);
	for (auto &word : words)
		argv.push_back(word.data());
	argv.push_back(nullptr);

	Outcome outcome;
	pid_t pid = -1;
	const int spawned = posix_spawnp(
	    &pid, argv[0], &actions, &attributes, argv.data(), environ);
	posix_spawn_file_actions_destroy(&actions);
	posix_spawnattr_destroy(&attributes);
	if (spawned != 0) {
		ADD_FAILURE() << "posix_spawn " << argv[0] << ": "
		              << std::strerror(spawned);
		return outcome;
	}

	// Only the child holds these ends now, so the reads below end when
	// it does. Both ends of its input stay open here: a program that read
	// its input would wait for more and never end.
	close_once(out.write);
	close_once(err.write);
	if (out.read >= 0)
		outcome.reads = read_all(out.read);
	outcome.output = joined(outcome.reads);
	outcome.errors = joined(read_all(err.read));
	while (waitpid(pid, &outcome.status, 0) < 0 && errno == EINTR) {
	}

	// Whatever the child read is gone; the rest still waits in the pipe.
	// The pipe's write end is not open, so this read ends.
	close_once(in.write);
	outcome.unread_input = joined(read_all(in.read));
	return outcome;
}

std::string
program_name(const testing::TestParamInfo<Program> &info)
{
	return info.param.name;
}

class Figure : public testing::TestWithParam<Program>
{
};

TEST_P(Figure, PrintsExactBytesWhateverTheArgumentsAndLeavesInputUnread)
{
	const std::vector<std::vector<std::string>> arg_lists = {
	    {}, {"-h"}, {"--help", "--version", "-", "extra words"}};
	for (const auto &args : arg_lists) {
		SCOPED_TRACE(testing::PrintToString(args));
		const Outcome outcome = run(
		    GetParam(), Output::pipe, Sigpipe::default_action, args);
		EXPECT_EQ(outcome.output, GetParam().figure);
		EXPECT_EQ(outcome.errors, "");
		EXPECT_EQ(outcome.unread_input, input);
		ASSERT_TRUE(WIFEXITED(outcome.status));
		EXPECT_EQ(WEXITSTATUS(outcome.status), 0);
	}
}

TEST_P(Figure, FlushesEachLineInAWriteOfItsOwn)
{
	const Outcome outcome = run(GetParam(), Output::packet_pipe);
	std::vector<size_t> lengths;
	for (const auto &read : outcome.reads)
		lengths.push_back(read.size());
	EXPECT_EQ(lengths, (std::vector<size_t>{9, 8, 7, 6}));
	EXPECT_EQ(outcome.output, GetParam().figure);
}

TEST_P(Figure, EndsBySigpipeSilentlyWhenTheReaderHasGone)
{
	const Outcome outcome = run(GetParam(), Output::broken_pipe);
	ASSERT_TRUE(WIFSIGNALED(outcome.status));
	EXPECT_EQ(WTERMSIG(outcome.status), SIGPIPE);
	EXPECT_EQ(outcome.errors, "");
}

INSTANTIATE_TEST_SUITE_P(
    Programs, Figure, testing::ValuesIn(programs), program_name);

struct Failure {
	std::string name;
	Output output;
	Sigpipe sigpipe;
	std::string reason;
};

const std::vector<Failure> failures = {
    {"StdoutClosed", Output::closed, Sigpipe::default_action,
        "Bad file descriptor"},
    {"FullDevice", Output::full_device, Sigpipe::default_action,
        "No space left on device"},
    {"ReaderGoneSigpipeIgnored", Output::broken_pipe, Sigpipe::ignored,
        "Broken pipe"},
};

void
PrintTo(const Failure &failure, std::ostream *stream)
{
	*stream << failure.name;
}

class FailedWrite : public testing::TestWithParam<std::tuple<Program, Failure>>
{
};

TEST_P(FailedWrite, ReportsOneLineAndExitsOne)
{
	const auto &[program, failure] = GetParam();
	const Outcome outcome = run(program, failure.output, failure.sigpipe);
	EXPECT_EQ(outcome.errors,
	    program.name + ": write error: " + failure.reason + "\n");
	ASSERT_TRUE(WIFEXITED(outcome.status));
	EXPECT_EQ(WEXITSTATUS(outcome.status), 1);
}

INSTANTIATE_TEST_SUITE_P(Programs, FailedWrite,
    testing::Combine(testing::ValuesIn(programs), testing::ValuesIn(failures)),
    [](const auto &info) {
	    return std::get<0>(info.param).name + "_" +
	           std::get<1>(info.param).name;
    });

#ifdef GLYPHROW_UNSHARE
// A new folder for a root, empty.
std::filesystem::path
new_root()
{
	std::string pattern =
	    (std::filesystem::temp_directory_path() / "glyphrow-XXXXXX")
	        .string();
	if (mkdtemp(pattern.data()) == nullptr) {
		ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
		return {};
	}
	return pattern;
}

// The words that run a command inside root, through a user namespace,
// which needs no privilege where the system allows one.
std::vector<std::string>
entering(const std::filesystem::path &root)
{
	return {GLYPHROW_UNSHARE, "--user", "--map-root-user",
	    "--root=" + root.string()};
}

// Empty where this process can enter an empty root; otherwise what the
// system said when it would not (in a chroot, or under a seccomp or
// AppArmor policy that refuses user namespaces). Found out once, by
// entering one to run a program that is not there: unshare exits 127,
// not found, only once it is inside.
const std::string &
empty_root_refusal()
{
	static const std::string refusal = [] {
		const std::filesystem::path root = new_root();
		const Outcome outcome = run({"absent", "/absent", "", ""},
		    Output::pipe, Sigpipe::default_action, {}, entering(root));
		std::filesystem::remove_all(root);
		if (WIFEXITED(outcome.status) &&
		    WEXITSTATUS(outcome.status) == 127)
			return std::string();
		std::string reason = outcome.errors;
		while (!reason.empty() && reason.back() == '\n')
			reason.pop_back();
		return reason.empty() ? std::string("unshare failed") : reason;
	}();
	return refusal;
}

// The fully static programs need nothing from the system they run on: each
// runs in a root folder that holds nothing but the program itself, and the
// emulator where there is one, itself static.
class EmptyRoot : public testing::TestWithParam<Program>
{
      protected:
	void
	SetUp() override
	{
		if (!empty_root_refusal().empty())
			GTEST_SKIP() << "no empty root can be entered here: "
			             << empty_root_refusal();
		root = new_root();
		ASSERT_FALSE(root.empty());
		std::filesystem::copy_file(
		    GetParam().path, root / GetParam().name);
		if (!emulator.empty())
			std::filesystem::copy_file(
			    emulator, root / file_name(emulator));
	}
	void
	TearDown() override
	{
		if (!root.empty())
			std::filesystem::remove_all(root);
	}

	// The program as seen from inside the root, and what enters it.
	Program
	inside() const
	{
		return {GetParam().name, in_root(GetParam().name),
		    GetParam().figure,
		    emulator.empty() ? "" : in_root(file_name(emulator))};
	}
	std::vector<std::string>
	enter() const
	{
		return entering(root);
	}

      private:
	static std::string
	file_name(const std::string &path)
	{
		return std::filesystem::path(path).filename().string();
	}
	static std::string
	in_root(const std::string &name)
	{
		return (std::filesystem::path("/") / name).string();
	}

	std::filesystem::path root;
};

TEST_P(EmptyRoot, PrintsTheFigureAndReportsAClosedOutput)
{
	const Outcome printed =
	    run(inside(), Output::pipe, Sigpipe::default_action, {}, enter());
	EXPECT_EQ(printed.output, GetParam().figure);
	EXPECT_EQ(printed.errors, "");
	ASSERT_TRUE(WIFEXITED(printed.status));
	EXPECT_EQ(WEXITSTATUS(printed.status), 0);

	const Outcome failed =
	    run(inside(), Output::closed, Sigpipe::default_action, {}, enter());
	EXPECT_EQ(failed.errors,
	    GetParam().name + ": write error: Bad file descriptor\n");
	ASSERT_TRUE(WIFEXITED(failed.status));
	EXPECT_EQ(WEXITSTATUS(failed.status), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Programs, EmptyRoot, testing::ValuesIn(programs), program_name);
#endif

} // namespace
