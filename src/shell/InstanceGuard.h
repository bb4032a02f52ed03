// The single-instance guard: a system-wide name that only one running copy can
// hold. It is an abstract-namespace Unix socket, so the kernel frees the name
// when the process ends, however it ends (a crash or SIGKILL included). The
// holder listens on it, so a refused copy learns from the kernel who holds it.
#pragma once

#include <string>

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
    const std::string& name() const { return name_; }
    // After a refusal: who holds the name, as "PID 1234 in /its/directory"
    // (the directory only where this process may read it), or "" if unknown.
    const std::string& holder() const { return holder_; }

    // The holder's descriptor, readable when refused copies have called;
    // turnAway() lets them go so that they never fill its queue.
    int descriptor() const { return fd_; }
    void turnAway();

    // "Palavoro", or PALAVORO_INSTANCE when set, so that test runs do not
    // collide with an operator's running server.
    static std::string defaultName();

private:
    std::string describeHolder() const;

    std::string name_;
    std::string holder_;
    int fd_ = -1;
};
