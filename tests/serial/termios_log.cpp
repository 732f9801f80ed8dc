// Notes every tcsetattr a program makes, for the line settings test. A
// pseudo-terminal always reads back CS8 and no parity, whatever it was told,
// so only the requests show those two. Linked into the test, preloaded into
// the programs it runs.
#include <dlfcn.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>

extern "C" int tcsetattr(int fd, int action, const termios* tio) noexcept {
    using Real = int (*)(int, int, const termios*);
    static const auto real = reinterpret_cast<Real>(::dlsym(RTLD_NEXT, "tcsetattr"));
    const int result = real ? real(fd, action, tio) : -1;
    const char* const log = std::getenv("RELAY_TERMIOS_LOG");
    char link[64];
    char device[PATH_MAX] = {};
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    if (result != 0 || !log || ::readlink(link, device, sizeof device - 1) <= 0) {
        return result;
    }
    if (FILE* out = std::fopen(log, "a")) {
        std::fprintf(out, "%s %x %x %x %x %x %x\n", device, tio->c_iflag, tio->c_oflag,
                     tio->c_cflag, tio->c_lflag, ::cfgetispeed(tio), ::cfgetospeed(tio));
        std::fclose(out);
    }
    return result;
}
