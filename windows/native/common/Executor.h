// Runs another program as a child process and waits for it to end.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

#include "UniqueHandle.h"
#include "WinHeaders.h"
#include "tstrings.h"

// Holds the configuration of a child process; every run starts a new child from it. The child
// is never tied to the parent: without a job object it outlives the parent.
class Executor {
public:
    explicit Executor(const tstring& programPath);

    // Shows the child's window; a hidden child gets SW_HIDE and no console window.
    Executor& setVisible(bool value);
    // Creates the child suspended, so that it joins its job and meets the hook before it runs.
    Executor& setSuspended(bool value);
    Executor& setInheritHandles(bool value);
    // The job the child is assigned to; the caller keeps owning it.
    Executor& setJobObject(HANDLE job);
    // Called with the child's process handle once it is created and assigned to its job.
    Executor& setProcessStartedHook(std::function<void(HANDLE)> hook);
    Executor& addArg(const tstring& arg);
    // An argument already written for the child's own command-line rules: taken as it is,
    // never quoted again.
    Executor& addEncodedArg(const tstring& arg);

    // The program path and the arguments, each quoted by quoteArg unless added encoded, joined
    // by single blanks.
    tstring commandLine() const;

    // Wraps an element holding a blank or a tab in quotation marks unless it is already wrapped.
    // Nothing inside is escaped: quotation marks and backslashes pass unchanged.
    static void quoteArg(tstring& arg);

    // The longest command line a process can be given, without its terminating zero.
    static constexpr std::size_t maxCommandLineLength = 32766;

    // Starts the child and returns its process handle; its main-thread handle goes to
    // `thread` when given, else it is closed. Throws when the process cannot be created
    // (a command line over maxCommandLineLength included) or assigned to the job; a suspended
    // child is then ended before it runs.
    UniqueHandle startProcess(UniqueHandle* thread = nullptr) const;

    // Runs the child to its end, without a time limit, and returns its exit code as it is.
    int execAndWaitForExit() const;

private:
    bool visible = false;
    bool inheritHandles = false;
    bool suspended = false;
    HANDLE jobObject = nullptr;
    struct Argument {
        tstring text;
        bool encoded;
    };
    std::vector<Argument> args;
    tstring programPath;
    std::function<void(HANDLE)> processStartedHook;
};
