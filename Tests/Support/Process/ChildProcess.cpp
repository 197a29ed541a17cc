#include "Support/Process/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& workDir) : program(argv.at(0)) {
    int outPipe[2];
    int inPipe[2];
    if (pipe(outPipe) != 0 || pipe(inPipe) != 0)
        throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(inPipe[0], 0);
        dup2(outPipe[1], 1);
        dup2(outPipe[1], 2);
        close(outPipe[0]);
        close(outPipe[1]);
        close(inPipe[0]);
        close(inPipe[1]);
        if (!workDir.empty() && chdir(workDir.c_str()) != 0)
            _exit(126);
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(inPipe[0]);
    outFd = outPipe[0];
    inFd = inPipe[1];
    signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (!exited && pid > 0) {
        ::kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    // The children of a sanitized build are sanitized too; their reports go to the pipe.
    drain();
    const size_t report = out.find("ThreadSanitizer");
    if (report != std::string::npos)
        ADD_FAILURE() << program << " reported a ThreadSanitizer finding:\n" << out.substr(out.rfind('\n', report) + 1);
    if (outFd >= 0)
        close(outFd);
    if (inFd >= 0)
        close(inFd);
}

bool ChildProcess::readSome(std::chrono::milliseconds timeout) {
    if (outFd < 0)
        return false;
    pollfd p{outFd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
        return true;
    char buffer[4096];
    const ssize_t n = read(outFd, buffer, sizeof(buffer));
    if (n <= 0) {
        close(outFd);
        outFd = -1;
        return false;
    }
    out.append(buffer, n);
    return true;
}

void ChildProcess::drain() {
    for (pollfd p{outFd, POLLIN, 0}; outFd >= 0 && poll(&p, 1, 0) > 0; p.fd = outFd)
        readSome(std::chrono::milliseconds(0));
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.find(text) == std::string::npos) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        if (!readSome(std::min(left, std::chrono::milliseconds(50))) && out.find(text) == std::string::npos)
            return false;
    }
    return true;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds timeout, int* status) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!exited) {
        int raw = 0;
        const pid_t r = waitpid(pid, &raw, WNOHANG);
        if (r == pid) {
            exited = true;
            exitStatus = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        if (!readSome(std::chrono::milliseconds(20)))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // What the process wrote before it ended.
    drain();
    if (status)
        *status = exitStatus;
    return true;
}

void ChildProcess::writeInput(const std::string& text) {
    if (inFd >= 0 && write(inFd, text.data(), text.size()) < 0)
        closeInput();
}

void ChildProcess::closeInput() {
    if (inFd >= 0)
        close(inFd);
    inFd = -1;
}

void ChildProcess::kill(int signal) {
    if (!exited && pid > 0)
        ::kill(pid, signal);
}
