#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program started by a test, with its standard output (and error) read through a pipe and
// standard input writable. Killed when the object goes, also when the test fails; a
// ThreadSanitizer report it wrote fails the test then, as one in the test process would.
class ChildProcess {
public:
    explicit ChildProcess(const std::vector<std::string>& argv, const std::string& workDir = "");
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Waits until a line containing `text` has been read, or the timeout passes; true if found.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

    // Waits for the process to end; true when it did, with its exit status (or 128 + signal).
    bool waitForExit(std::chrono::milliseconds timeout, int* status);

    void writeInput(const std::string& text);
    void closeInput();
    void kill(int signal);

    // Everything read so far.
    const std::string& output() const { return out; }
    // The process id, for reading its /proc entries.
    pid_t processId() const { return pid; }

private:
    // Reads what is available within `timeout`; false at end of output.
    bool readSome(std::chrono::milliseconds timeout);
    // Reads what is already in the pipe.
    void drain();

    std::string program;
    pid_t pid = -1;
    int outFd = -1;
    int inFd = -1;
    bool exited = false;
    int exitStatus = 0;
    std::string out;
};
