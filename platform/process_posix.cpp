#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace fpbench::platform {
namespace {

sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGCHLD}) sigaddset(&set, signal);
    return set;
}

[[noreturn]] void Fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

Children::Children() {
    const sigset_t watched = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &watched, &previous_mask_);
    signals_ = signalfd(-1, &watched, SFD_CLOEXEC);
    if (signals_ < 0) Fail("signalfd");
    // A closed output stream must end the printing, not the process.
    signal(SIGPIPE, SIG_IGN);
}

Children::~Children() {
    Kill();
    for (const Child& child : children_)
        if (child.output >= 0) close(child.output);
    if (signals_ >= 0) close(signals_);
}

std::size_t Children::Start(const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    // Everything the child needs exists before fork: in a process with other
    // threads it may only make system calls until exec.
    std::vector<std::string> argv_text{program.string()};
    argv_text.insert(argv_text.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argv_text) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) Fail("pipe");
    const int null_input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t pid = null_input < 0 ? -1 : fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(null_input, 0), dup2(pipe_ends[1], 1), dup2(pipe_ends[1], 2);
        sigprocmask(SIG_SETMASK, &previous_mask_, nullptr);
        execv(program.c_str(), argv.data());
        static constexpr char kMessage[] = "cannot start the program\n";
        [[maybe_unused]] const ssize_t ignored = write(2, kMessage, sizeof kMessage - 1);
        _exit(127);
    }
    const int error = errno;
    close(pipe_ends[1]);
    if (null_input >= 0) close(null_input);
    if (pid < 0) {
        close(pipe_ends[0]);
        errno = error;
        Fail("cannot start " + program.string());
    }
    setpgid(pid, pid);  // as the child does, whichever runs first
    children_.push_back({pid, pipe_ends[0]});
    return children_.size() - 1;
}

void Children::Reap(bool wait) {
    for (Child& child : children_) {
        if (child.ended) continue;
        int status = 0;
        pid_t got;
        while ((got = waitpid(child.pid, &status, wait ? 0 : WNOHANG)) < 0 && errno == EINTR) {
        }
        if (got == child.pid) child.ended = true, child.status = status;
    }
}

ChildEvent Children::Next() {
    for (;;) {
        for (std::size_t i = 0; i < children_.size(); ++i) {
            Child& child = children_[i];
            if (!child.ended || child.output >= 0 || child.reported) continue;
            child.reported = true;
            ChildEvent event;
            event.kind = ChildEvent::Kind::Ended;
            event.child = i;
            if (WIFEXITED(child.status)) event.exit_status = WEXITSTATUS(child.status);
            if (WIFSIGNALED(child.status)) event.signal = WTERMSIG(child.status);
            return event;
        }
        std::vector<pollfd> watched{{signals_, POLLIN, 0}};
        std::vector<std::size_t> owners{children_.size()};
        for (std::size_t i = 0; i < children_.size(); ++i) {
            if (children_[i].output < 0) continue;
            watched.push_back({children_[i].output, POLLIN, 0});
            owners.push_back(i);
        }
        if (poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR) continue;
            Fail("poll");
        }
        if (watched[0].revents != 0) {
            signalfd_siginfo info{};
            if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) continue;
            if (static_cast<int>(info.ssi_signo) == SIGCHLD) {
                Reap(false);
                continue;
            }
            return {ChildEvent::Kind::StopSignal, 0, {}, -1, static_cast<int>(info.ssi_signo)};
        }
        for (std::size_t k = 1; k < watched.size(); ++k) {
            if (watched[k].revents == 0) continue;
            Child& child = children_[owners[k]];
            char buffer[65536];
            const ssize_t got = read(child.output, buffer, sizeof buffer);
            if (got > 0) return {ChildEvent::Kind::Output, owners[k], std::string(buffer, static_cast<std::size_t>(got))};
            if (got < 0 && errno == EINTR) break;
            close(child.output);
            child.output = -1;
        }
    }
}

std::size_t Children::Running() const {
    std::size_t running = 0;
    for (const Child& child : children_) running += !child.reported;
    return running;
}

void Children::Signal(int signal) const {
    for (const Child& child : children_)
        if (!child.ended) kill(child.pid, signal);
}

void Children::Kill() {
    Signal(SIGKILL);
    Reap(true);
}

void EndBySignal(int signal) {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(signal, &default_action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
    _exit(128 + signal);
}

int TerminalColumns() {
    winsize size{};
    if (!isatty(2)) return 0;
    return ioctl(2, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
}

}  // namespace fpbench::platform
