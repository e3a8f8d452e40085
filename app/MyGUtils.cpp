#include "app/MyGUtils.h"

#include <spawn.h>
#include <sys/wait.h>

#include "platform/System.h"

extern char** environ;

namespace qv {

uint32_t TickCount() { return GetTickCount(); }

void LoadPictureToBitmap(TBitmap& Bitmap, const std::string& FileName) {
    TPicture Picture;
    Picture.LoadFromFile(FileName);
    Bitmap.Assign(Picture.Graphic());
}

void ShellOpen(const std::string& Target) {
    // Fire and forget, like the desktop's "open" verb: the opener's outcome is not reported.
    std::string Target_ = Target;
    char Opener[] = "xdg-open";
    char* Argv[] = {Opener, Target_.data(), nullptr};
    pid_t Pid = 0;
    if (posix_spawnp(&Pid, "xdg-open", nullptr, nullptr, Argv, environ) == 0) {
        int Status = 0;
        waitpid(Pid, &Status, WNOHANG);
    }
}

} // namespace qv
