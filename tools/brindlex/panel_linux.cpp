#include "panel_platform.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/wait.h>
#include <unistd.h>

bool RandomBytes(uint8_t *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t got = getrandom(data, size, 0);
        if (got <= 0) {
            return false;
        }
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool OpenBrowser(const std::string &url)
{
    // Only where a desktop session is there: on a console or over ssh
    // xdg-open would start a text browser in our terminal.
    if (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr) {
        return false;
    }
    // Twice forked, so that a browser that stays in the foreground is no
    // child of ours and never waited for.
    const pid_t child = fork();
    if (child < 0) {
        return false;
    }
    if (child == 0) {
        setsid();
        if (fork() == 0) {
            const int nothing = open("/dev/null", O_RDWR);
            dup2(nothing, STDIN_FILENO);
            dup2(nothing, STDOUT_FILENO);
            dup2(nothing, STDERR_FILENO);
            execlp("xdg-open", "xdg-open", url.c_str(), static_cast<char *>(nullptr));
        }
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return true;
}
