#include <cstdio>
#include <memory>

#include "ErrorHandling.h"
#include "PathUtils.h"
#include "SysInfo.h"
#include "UniqueHandle.h"
#include "WinHeaders.h"
#include "app.h"

namespace {

// Whether the parent gave the process a usable standard stream: a file, a pipe or a device.
bool isRedirected(DWORD stream) { return GetFileType(GetStdHandle(stream)) != FILE_TYPE_UNKNOWN; }

// In debug mode, makes the log written to standard error visible: a standard error that the
// parent redirected stays where it is. Without one, the process's standard error becomes the
// parent's console, the console the process has already, or a new one, for as long as the object
// lives; the C streams are reopened there too (standard output only when not redirected).
class Console {
public:
    Console() {
        if (isRedirected(STD_ERROR_HANDLE)) {
            return;
        }
        // Asked first: taking a console can make the standard handles the console's.
        const bool outputRedirected = isRedirected(STD_OUTPUT_HANDLE);
        // ERROR_ACCESS_DENIED: the process is attached to a console already.
        if (!AttachConsole(ATTACH_PARENT_PROCESS) && GetLastError() != ERROR_ACCESS_DENIED && !AllocConsole()) {
            return;
        }
        // Readable too, so that the log can tell a console from a file.
        device.reset(CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr));
        if (device) {
            previousError = GetStdHandle(STD_ERROR_HANDLE);
            SetStdHandle(STD_ERROR_HANDLE, device.get());
        }
        if (!outputRedirected) {
            output = std::make_unique<Channel>(stdout);
        }
        error = std::make_unique<Channel>(stderr);
    }
    ~Console() {
        if (device) {
            SetStdHandle(STD_ERROR_HANDLE, previousError);
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
            stream.reset(reopened);
            syncStandardStreams();
        }
        virtual ~Channel() {
            runReporting([this] {
                stream.reset();
                syncStandardStreams();
            });
        }
        Channel(const Channel&) = delete;
        Channel& operator=(const Channel&) = delete;

    private:
        // The standard iostream objects follow the reopened C streams, in programs that link them.
        static void syncStandardStreams() {
            if (app::syncStandardStreams) {
                app::syncStandardStreams();
            }
        }

        UniqueCFile stream;
        FILE* standardStream;
    };

private:
    UniqueHandle device;
    HANDLE previousError = nullptr;
    // Destroyed in reverse order: the error channel first.
    std::unique_ptr<Channel> output;
    std::unique_ptr<Channel> error;
};

// Shows the last error message in an error box titled with the executable's file name, where a
// person can answer it: elsewhere (a service, a hidden desktop, a run that asked for no dialogs)
// the box would wait for ever and hold up whatever started the run.
class LastErrorGuiLogAppender : public LogAppender {
public:
    void append(const LogRecord&) override {
        // A failure reported from inside the box reaches this sink again through the logger.
        if (showing || !app::dialogsAllowed() || !SysInfo::isInteractiveSession()) {
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

int wlaunch(const std::nothrow_t&, LauncherFunc func, LogAppender* failureSink) {
    std::unique_ptr<Console> console;
    runReporting([&console] {
        if (isDebugMode()) {
            console = std::make_unique<Console>();
        }
    });
    LastErrorGuiLogAppender guiAppender;
    TeeLogAppender textSinks(lastErrorLogAppender(), failureSink);
    TeeLogAppender lastErrorSinks(&textSinks, &guiAppender);
    return launch(std::nothrow, func, &lastErrorSinks);
}

} // namespace app
