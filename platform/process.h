// Child processes of the Linux program and the stop signals while it watches
// them: each child's stdout and stderr come back through one pipe, and
// SIGINT, SIGTERM and SIGHUP arrive as events of the same wait, so that the
// watcher decides what a signal means for its children.
#pragma once

#include <signal.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace fpbench::platform {

struct ChildEvent {
    enum class Kind { Output, Ended, StopSignal };
    Kind kind = Kind::Output;
    std::size_t child = 0;
    std::string text;      // Output: the bytes as they came
    int exit_status = -1;  // Ended: its exit status, -1 when a signal ended it
    int signal = 0;        // Ended: the signal that ended it; StopSignal: the signal received
};

class Children {
public:
    // From here on the stop signals and SIGCHLD are blocked in this thread
    // and in every thread it starts later (a driver's threads included), and
    // come only through Next(): construct it before anything starts threads.
    Children();
    // Kills (SIGKILL) and reaps every child still running.
    ~Children();
    Children(const Children&) = delete;
    Children& operator=(const Children&) = delete;

    // Starts `program` with `arguments` (argv[1..]): stdin from /dev/null,
    // stdout and stderr into its pipe, in a process group of its own (a
    // terminal's Ctrl+C reaches this process alone, which passes it on once),
    // sent SIGTERM should this process die first. Throws std::runtime_error.
    std::size_t Start(const std::filesystem::path& program, const std::vector<std::string>& arguments);
    // Waits for what happens next; a child's end comes after all its output.
    ChildEvent Next();
    std::size_t Running() const;
    // To every child that has not ended.
    void Signal(int signal) const;
    // SIGKILL to every child that has not ended, and reaps them.
    void Kill();

private:
    struct Child {
        pid_t pid = -1;
        int output = -1;  // -1 once the output ended
        bool ended = false, reported = false;
        int status = 0;  // waitpid's
    };
    void Reap(bool wait);
    std::vector<Child> children_;
    int signals_ = -1;
    sigset_t previous_mask_{};
};

// Ends the process as `signal`'s default action does (after the second stop
// signal, once the children are gone).
[[noreturn]] void EndBySignal(int signal);

// The width of the terminal stderr writes to; 0 when it is no terminal.
int TerminalColumns();

}  // namespace fpbench::platform
