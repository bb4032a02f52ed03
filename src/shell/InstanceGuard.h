// The single-instance guard: a system-wide name that only one running copy can
// hold. It is an abstract-namespace Unix socket, so the kernel frees the name
// when the process ends, however it ends (a crash or SIGKILL included).
#pragma once

#include <sys/socket.h>

#include <string>

struct sockaddr_un;

class InstanceGuard {
public:
    explicit InstanceGuard(std::string name);
    ~InstanceGuard();
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;

    // Takes the name; false when another holder has it. Throws
    // std::system_error when the system refuses for any other reason.
    bool acquire();
    bool held() const { return fd_ >= 0; }
    // Where the copy that holds the name runs: "PID 1234 in /its/directory/"
    // (the directory only when this user may see it); empty when unknown.
    std::string holder() const;
    const std::string& name() const { return name_; }

    // "Palavoro", or PALAVORO_INSTANCE when set, so that test runs do not
    // collide with an operator's running server.
    static std::string defaultName();

private:
    // The name as an abstract socket address.
    socklen_t address(struct sockaddr_un& into) const;

    std::string name_;
    int fd_ = -1;
};
