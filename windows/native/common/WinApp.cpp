#include <cstdio>
#include <memory>

#include "ErrorHandling.h"
#include "PathUtils.h"
#include "SysInfo.h"
#include "UniqueHandle.h"
#include "WinHeaders.h"
#include "app.h"

namespace {

// In debug mode, connects standard output and standard error to the parent's console or a
// new one, so the log written to standard error becomes visible.
class Console {
public:
    Console() {
        if (AttachConsole(ATTACH_PARENT_PROCESS) || AllocConsole()) {
            output = std::make_unique<Channel>(stdout);
            error = std::make_unique<Channel>(stderr);
        }
    }
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // One standard stream reopened on the console device.
    class Channel {
    public:
        explicit Channel(FILE* standardStream) : standardStream(standardStream) {
            const bool input = standardStream == stdin;
            FILE* reopened = nullptr;
            freopen_s(&reopened, input ? "CONIN$" : "CONOUT$", input ? "r" : "w", standardStream);
            // The standard iostream objects write through these same C streams (they are
            // synchronised with them by default), so they follow the reopened device too.
            stream.reset(reopened);
        }
        virtual ~Channel() {
            runReporting([this] { stream.reset(); });
        }
        Channel(const Channel&) = delete;
        Channel& operator=(const Channel&) = delete;

    private:
        UniqueCFile stream;
        FILE* standardStream;
    };

private:
    // Destroyed in reverse order: the error channel first.
    std::unique_ptr<Channel> output;
    std::unique_ptr<Channel> error;
};

// Shows the last error message in an error box titled with the executable's file name.
class LastErrorGuiLogAppender : public LogAppender {
public:
    void append(const LogRecord&) override {
        // A failure reported from inside the box reaches this sink again through the logger.
        if (showing) {
            return;
        }
        showing = true;
        runReporting([] {
            const tstring text = tstrings::decodeUtf8(app::lastErrorMsg());
            const tstring caption = FileUtils::leafName(SysInfo::getProcessModulePath());
            MessageBoxW(nullptr, text.c_str(), caption.c_str(), MB_ICONERROR);
        });
        showing = false;
    }

private:
    bool showing = false;
};

} // namespace

namespace app {

int wlaunch(const std::nothrow_t&, LauncherFunc func) {
    std::unique_ptr<Console> console;
    runReporting([&console] {
        if (isDebugMode()) {
            console = std::make_unique<Console>();
        }
    });
    LastErrorGuiLogAppender guiAppender;
    TeeLogAppender lastErrorSinks(lastErrorLogAppender(), &guiAppender);
    return launch(std::nothrow, func, &lastErrorSinks);
}

} // namespace app
