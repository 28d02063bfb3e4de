// glyphrow_solid: print a filled inverted triangle of asterisks.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <iostream>

int
main()
{
	std::cout << "********" << std::endl;
	std::cout << std::setw(7) << "******" << std::endl;
	std::cout << std::setw(6) << "****" << std::endl;
	std::cout << std::setw(5) << "**" << std::endl;

	// Each line was flushed as it was written, so a failed write has left
	// cout failed; the insertions after it did nothing, so errno still
	// holds its cause.
	if (!std::cout) {
		const int error = errno;
		std::fprintf(stderr, "glyphrow_solid: write error%s%s\n",
		    error != 0 ? ": " : "",
		    error != 0 ? std::strerror(error) : "");
		return 1;
	}
	return 0;
}
