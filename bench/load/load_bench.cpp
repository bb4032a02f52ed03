// The load benchmark: plays the engine over TCP on 127.0.0.1 for the real
// server and for the bare relay, connects N stations to each, sends lines
// round robin from the stations with a bounded number in flight, and checks
// every delivery byte for byte and exactly once. It prints deliveries per
// second and the latency from a line's send to its last delivery (median
// and 99th percentile), server beside relay; then, on one server, lines that
// a convers neighbour sends over a host link beside lines from a station, with
// the server's processor time per delivery of each; then the server's memory
// at a few numbers of connected stations.
//
// Options: see Usage below.
#include "AgwWire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr char ServerCall[] = "N0LOAD";
// The benchmark's own convers node, and the one user on it who speaks.
constexpr char PeerHost[] = "lbpeer";
constexpr char PeerUser[] = "lbnet";
constexpr char HostPrefix[] = "/\xff\x80";
// A neighbour's line ends as a station's does: its own CR, and the area line's.
constexpr char RemoteLineEnd[] = "\r\r";
// Each line ends in its number, so that a delivery finds its line at a fixed
// distance from its end, whatever the area and the calls in front.
constexpr char LineText[] = "Sent by the load benchmark, line #";
constexpr size_t IdDigits = 8;
// How long a program may stay silent while an answer is awaited.
constexpr double QuietSeconds = 10;

constexpr char Usage[] =
    "usage: load_bench [--server PATH] [--relay PATH] [--stations 10,100,1000] [--reps 3] [--seconds 2]\n"
    "                  [--window 8] [--rss 1000,5000] [--batch 10] [--areas 0] [--cycles 1] [--convers 1000]\n"
    "  --window   lines in flight\n"
    "  --convers  numbers of stations for lines from a convers neighbour against lines from a station;\n"
    "             \"\" leaves them out\n"
    "  --rss      numbers of stations for the memory figures; \"\" leaves them out\n"
    "  --cycles   times the stations of the memory figures come and all leave again\n"
    "  --batch    stations that come or go between two looks at the server\n"
    "  --areas    spread the stations of the memory figures over areas 1..N instead of Root\n";

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Set on SIGINT or SIGTERM, so that the programs are ended and their
// directories removed on the way out.
volatile sig_atomic_t interrupted = 0;

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// A program of ours, run in a fresh directory of its own; ended by its PID.
class Child {
public:
    Child(const std::vector<std::string>& argv, fs::path dir) : dir_(std::move(dir))
    {
        static int started = 0;
        const std::string instance = "loadbench-" + std::to_string(getpid()) + "-" + std::to_string(++started);
        pid_ = fork();
        if (pid_ < 0)
            throw Failure("fork failed");
        if (pid_ > 0)
            return;
        // Should the benchmark be killed, its programs do not outlive it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The server runs headless, with its own single-instance marker.
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            unsetenv(name);
        setenv("LC_ALL", "C", 1);
        setenv("PALAVORO_INSTANCE", instance.c_str(), 1);
        const int out = open((dir_ / "output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (chdir(dir_.c_str()) != 0 || out < 0)
            _exit(127);
        dup2(out, 1);
        dup2(out, 2);
        std::vector<char*> args;
        for (const std::string& arg : argv)
            args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    ~Child()
    {
        kill(pid_, SIGTERM);
        for (int i = 0; i < 300 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(pid_, nullptr, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }

    // A memory figure of /proc/PID/status, such as "VmRSS:".
    long statusKiB(const std::string& field) const
    {
        std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind(field, 0) == 0)
                return std::stol(line.substr(field.size()));
        throw Failure("no " + field + " for process " + std::to_string(pid_));
    }

    // User and system time so far.
    double cpuSeconds() const
    {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // The fields after the command name, which may hold blanks: state is
        // field 3, utime and stime fields 14 and 15.
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14)
                ticks += std::stod(field);
        return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    // What the program wrote, for an error message.
    std::string output() const
    {
        std::ifstream file(dir_ / "output.txt");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
    }

private:
    fs::path dir_;
    pid_t pid_ = -1;
};

double ownCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// The one-minute load average.
std::string loadAverage()
{
    std::ifstream file("/proc/loadavg");
    std::string first;
    file >> first;
    return first;
}

fs::path makeTempDir()
{
    std::string pattern = (fs::temp_directory_path() / "loadbench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw Failure("cannot make a temporary directory");
    return pattern;
}

int listenLocal(int& port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || listen(fd, 1) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
        throw Failure("cannot listen on 127.0.0.1");
    port = ntohs(address.sin_port);
    return fd;
}

struct Stats {
    uint64_t lines = 0;
    uint64_t deliveries = 0;
    uint64_t prompts = 0;
    uint64_t lost = 0;
    uint64_t duplicated = 0;
    uint64_t garbled = 0;
    uint64_t promptsAmiss = 0; // prompts to speakers missing or too many
    double seconds = 0;
    uint64_t stationLines = 0;     // lines sent by stations, each answered by a prompt
    double cpu = 0;                // the program's share of one core
    double selfCpu = 0;            // the benchmark's own, which caps what it can measure
    std::vector<double> latencies; // microseconds
};

constexpr size_t NoStation = SIZE_MAX;

// A line on its way: what each recipient must get, and who has got it.
struct Line {
    uint64_t id = 0;
    size_t sender = 0; // NoStation for a line from the convers neighbour
    int area = 0;
    size_t need = 0;
    size_t got = 0;
    bool done = true;
    bool timed = false;
    Clock::time_point sent;
    std::string expected;
    std::vector<uint8_t> seen;
};

// The engine's side of one connection: answers the start-up requests, plays
// the stations and checks what comes back to them. Stations are called
// LB0000, LB0001, ... in the order of their index.
class Engine {
public:
    // `welcomes`: the program prompts a station when it connects (the relay does not).
    Engine(std::string name, std::unique_ptr<Child> child, int listener, size_t stations, size_t window,
           bool welcomes)
        : name_(std::move(name)), child_(std::move(child)), welcomes_(welcomes), lines_(window)
    {
        pollfd p{listener, POLLIN, 0};
        if (poll(&p, 1, 10000) != 1 || (fd_ = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) < 0)
            fail("did not connect");
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
        char call[24];
        for (size_t i = 0; i < stations; ++i) {
            std::snprintf(call, sizeof call, "LB%04zu", i);
            calls_.emplace_back(call);
        }
        area_.assign(stations, 0);
        connected_.assign(stations, false);
        prompt_.resize(stations);
        promptCount_.assign(stations, 0);
        promptsDue_.assign(stations, 0);
        for (Line& line : lines_)
            line.seen.resize(stations);
        require([&] { return !serverCall_.empty(); }, "the registration");
    }

    ~Engine()
    {
        close(fd_);
        if (peerFd_ >= 0)
            close(peerFd_);
    }

    Child& child() { return *child_; }
    const std::string& name() const { return name_; }
    const Stats& checks() const { return checks_; }

    // Connects stations [first, first + count); with areas > 0 each moves on
    // at once into one of the areas 1..areas, so that no area grows large.
    void connect(size_t first, size_t count, int areas = 0)
    {
        for (size_t i = first; i < first + count; ++i) {
            const std::string& call = calls_.at(i);
            agw::appendFrame(out_.out, 0, 'C', 0, call, serverCall_,
                             "*** CONNECTED To Station " + call + "\r" + std::string(1, '\0'));
            connected_[i] = true;
            promptsDue_[i] += welcomes_; // the welcome's, or that of the move to another area
            setArea(i, 0);
            if (areas > 0) {
                const int area = 1 + static_cast<int>(i % static_cast<size_t>(areas));
                agw::appendFrame(out_.out, 0, 'D', agw::TextPid, call, serverCall_,
                                 "/J " + std::to_string(area) + "\r");
                setArea(i, area);
            }
        }
        flush();
    }

    void leave(size_t first, size_t count)
    {
        for (size_t i = first; i < first + count; ++i) {
            agw::appendFrame(out_.out, 0, 'd', 0, calls_.at(i), serverCall_,
                             "*** DISCONNECTED From Station " + calls_[i] + "\r" + std::string(1, '\0'));
            connected_[i] = false;
        }
        flush();
    }

    // Returns once everything sent before has been handled: a line from the
    // sender has reached its area, and every prompt the sender has coming is
    // in (its own may come before the line reaches the last of the others).
    void sync(size_t sender)
    {
        Line& line = queueLine(sender, false);
        flush();
        if (line.need == 0)
            throw Failure("a sync line needs another station in the sender's area");
        require([&] { return line.done; }, "the deliveries of a line from " + calls_[sender]);
        require([&] { return promptCount_[sender] >= promptsDue_[sender]; }, "the prompt to " + calls_[sender]);
    }

    // A station connects, is welcomed and leaves again: a sync when no one
    // else is left to send a line.
    void visit(size_t station)
    {
        const uint64_t before = promptCount_[station];
        connect(station, 1);
        require([&] { return promptCount_[station] > before; }, "the welcome prompt to " + calls_[station]);
        leave(station, 1);
    }

    // Links to the server as the convers node PeerHost over its host-link
    // listener, and announces PeerUser in Root; returns once station 0 has
    // seen the user join.
    void attachPeer(int port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        // The listener opens with the server's start: give it a moment.
        for (int i = 0; peerFd_ < 0; ++i) {
            peerFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(peerFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
                break;
            close(peerFd_);
            peerFd_ = -1;
            if (i == 100)
                fail("does not take host links on port " + std::to_string(port));
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const int on = 1;
        setsockopt(peerFd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        fcntl(peerFd_, F_SETFL, fcntl(peerFd_, F_GETFL) | O_NONBLOCK);
        peerOut_.out += std::string(HostPrefix) + "HOST " + PeerHost + " LoadB-1 \r\n";
        require([&] { return peerHostSeen_; }, "HOST answer over the host link");
        peerOut_.out += std::string(HostPrefix) + "USER " + PeerUser + " " + PeerHost + " 1 -1 0 @\r\n";
        joinsSeen_ = 0;
        require([&] { return joinsSeen_ > 0; }, "join of " + std::string(PeerUser) + "@" + PeerHost);
    }

    // Keeps `window` lines in flight from stations [0, senders) for
    // `seconds`, then waits for the last of them. With fromPeer, the lines
    // come from the convers neighbour instead, to every station in Root.
    Stats measure(size_t senders, double seconds, bool fromPeer = false)
    {
        stats_ = Stats();
        measuring_ = true;
        const double cpuBefore = child_->cpuSeconds();
        const double selfBefore = ownCpuSeconds();
        const Clock::time_point start = Clock::now();
        const Clock::time_point stop =
            start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
        std::vector<Line*> batch;
        while (Clock::now() < stop) {
            for (; inFlight_ < lines_.size() && slot(nextId_).done; sender_ = (sender_ + 1) % senders)
                batch.push_back(&queueLine(fromPeer ? NoStation : sender_, true));
            // On loopback the answer can be in before send() returns: the clock starts first.
            const Clock::time_point sent = Clock::now();
            for (Line* line : batch)
                line->sent = sent;
            batch.clear();
            flush();
            pump(1);
        }
        const bool drained =
            waitFor([&] { return inFlight_ == 0 && stats_.prompts >= stats_.stationLines; }, QuietSeconds);
        stats_.seconds = secondsSince(start);
        stats_.cpu = (child_->cpuSeconds() - cpuBefore) / stats_.seconds;
        stats_.selfCpu = (ownCpuSeconds() - selfBefore) / stats_.seconds;
        if (!drained)
            giveUpOnLines();
        stats_.promptsAmiss = stats_.prompts > stats_.stationLines ? stats_.prompts - stats_.stationLines
                                                                   : stats_.stationLines - stats_.prompts;
        measuring_ = false;
        Stats result = std::move(stats_);
        add(checks_, result);
        return result;
    }

private:
    [[noreturn]] void fail(const std::string& what)
    {
        throw Failure(name_ + ": " + what + "; its output: " + child_->output());
    }

    void flush()
    {
        if (!out_.flush(fd_))
            fail("the connection failed");
        if (peerFd_ >= 0 && !peerOut_.flush(peerFd_))
            fail("the host link failed");
    }

    void setArea(size_t station, int area)
    {
        area_[station] = area;
        prompt_[station] = "\r[" + std::to_string(area) + "]{" + calls_[station] + " de " + serverCall_ + "}:\r";
    }

    Line& slot(uint64_t id) { return lines_[id % lines_.size()]; }

    Line& queueLine(size_t sender, bool timed)
    {
        Line& line = slot(nextId_);
        line.id = nextId_++;
        line.sender = sender;
        line.area = sender == NoStation ? 0 : area_[sender];
        line.timed = timed;
        char number[IdDigits + 1];
        std::snprintf(number, sizeof number, "%0*" PRIu64, static_cast<int>(IdDigits), line.id);
        const std::string text = LineText + std::string(number);
        if (sender == NoStation) {
            peerOut_.out += std::string(HostPrefix) + "CMSG " + PeerUser + " 0 " + text + "\r\n";
            line.expected = std::string("[0]<") + PeerUser + "@" + PeerHost + "> " + text + RemoteLineEnd;
        } else {
            agw::appendFrame(out_.out, 0, 'D', agw::TextPid, calls_[sender], serverCall_, text + "\r");
            // The line keeps its own CR, and the area line adds one.
            line.expected =
                "[" + std::to_string(line.area) + "]<" + calls_[sender] + "@" + serverCall_ + "> " + text + "\r\r";
            ++stats_.stationLines;
            ++promptsDue_[sender];
        }
        std::fill(line.seen.begin(), line.seen.end(), 0);
        line.got = 0;
        line.need = 0;
        for (size_t i = 0; i < calls_.size(); ++i)
            line.need += i != sender && connected_[i] && area_[i] == line.area;
        line.done = line.need == 0;
        inFlight_ += !line.done;
        ++stats_.lines;
        return line;
    }

    // Lines still short of recipients after the wait count as lost there.
    void giveUpOnLines()
    {
        for (Line& line : lines_)
            if (!line.done) {
                stats_.lost += line.need - line.got;
                line.done = true;
            }
        inFlight_ = 0;
    }

    static void add(Stats& total, const Stats& s)
    {
        total.lines += s.lines;
        total.stationLines += s.stationLines;
        total.deliveries += s.deliveries;
        total.prompts += s.prompts;
        total.lost += s.lost;
        total.duplicated += s.duplicated;
        total.garbled += s.garbled;
        total.promptsAmiss += s.promptsAmiss;
    }

    // False once nothing has come for `quiet` seconds: a slow program is
    // waited for as long as it keeps sending.
    template <typename Done> bool waitFor(Done done, double quiet)
    {
        lastInput_ = Clock::now();
        while (!done()) {
            if (secondsSince(lastInput_) > quiet)
                return false;
            pump(50);
        }
        return true;
    }

    template <typename Done> void require(Done done, const std::string& what)
    {
        if (!waitFor(done, QuietSeconds))
            fail("no " + what + " (nothing came for " + std::to_string(static_cast<int>(QuietSeconds)) + " s)");
    }

    void pump(int milliseconds)
    {
        if (interrupted)
            throw Failure("interrupted");
        pollfd p[2] = {{fd_, static_cast<short>(POLLIN | (out_.pending() ? POLLOUT : 0)), 0},
                       {peerFd_, static_cast<short>(POLLIN | (peerOut_.pending() ? POLLOUT : 0)), 0}};
        if (poll(p, peerFd_ >= 0 ? 2 : 1, milliseconds) > 0) {
            if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                const ssize_t n = reader_.readFrom(fd_);
                lastInput_ = n > 0 ? Clock::now() : lastInput_;
                if (n == 0)
                    fail("closed the connection");
                if (n < 0 && errno != EAGAIN && errno != EINTR)
                    fail("the connection failed");
                reader_.frames([this](const char* header, std::string_view data) { frame(header, data); });
            }
            if (peerFd_ >= 0 && (p[1].revents & (POLLIN | POLLHUP | POLLERR)))
                readPeer();
        }
        flush();
    }

    // What the server sends over the host link: its HOST is awaited, a PING
    // answered; the rest (its users, our stations' lines) is read and let go.
    void readPeer()
    {
        char chunk[1 << 16];
        const ssize_t n = recv(peerFd_, chunk, sizeof chunk, 0);
        if (n == 0)
            fail("closed the host link");
        if (n < 0) {
            if (errno != EAGAIN && errno != EINTR)
                fail("the host link failed");
            return;
        }
        lastInput_ = Clock::now();
        peerIn_.append(chunk, static_cast<size_t>(n));
        size_t at = 0;
        for (size_t end; (end = peerIn_.find_first_of("\r\n", at)) != std::string::npos; at = end + 1) {
            const std::string_view line(peerIn_.data() + at, end - at);
            const size_t command = line.find(HostPrefix);
            if (command == std::string_view::npos)
                continue;
            const std::string_view word = line.substr(command + 3);
            if (word.starts_with("HOST "))
                peerHostSeen_ = true;
            else if (word == "PING" || word.starts_with("PING "))
                peerOut_.out += std::string(HostPrefix) + "PONG 0\r\n";
        }
        peerIn_.erase(0, at);
    }

    // Answers as an engine would; the server relies on "X", "G" and "R".
    void frame(const char* header, std::string_view data)
    {
        const uint8_t port = static_cast<uint8_t>(header[0]);
        switch (header[4]) {
        case 'D':
            received(header, data);
            break;
        case 'X':
            serverCall_ = agw::callText(header + 8);
            agw::putCall(serverField_, serverCall_);
            agw::appendFrame(out_.out, 0, 'X', 0, serverCall_, "", "\x01");
            break;
        case 'G':
            agw::appendFrame(out_.out, 0, 'G', 0, "", "", std::string("1;Port1 load benchmark;") + '\0');
            break;
        case 'R': // version 2000.78
            agw::appendFrame(out_.out, 0, 'R', 0, "", "", std::string("\xD0\x07\0\0\x4E\0\0\0", 8));
            break;
        case 'g':
            agw::appendFrame(out_.out, port, 'g', 0, "", "", std::string(12, '\0'));
            break;
        case 'y':
            agw::appendFrame(out_.out, port, 'y', 0, "", "", std::string(4, '\0'));
            break;
        case 'Y': // nothing waits to go out
            agw::appendFrame(out_.out, port, 'Y', 0, agw::callText(header + 8), agw::callText(header + 18),
                             std::string(4, '\0'));
            break;
        case 'H':
            break;
        default:
            if (measuring_)
                ++stats_.garbled;
        }
    }

    size_t stationIndex(const char* field) const
    {
        size_t index = 0;
        if (field[0] != 'L' || field[1] != 'B' || field[6] != '\0')
            return SIZE_MAX;
        for (int i = 2; i < 6; ++i) {
            if (field[i] < '0' || field[i] > '9')
                return SIZE_MAX;
            index = index * 10 + static_cast<size_t>(field[i] - '0');
        }
        return index < calls_.size() ? index : SIZE_MAX;
    }

    void received(const char* header, std::string_view data)
    {
        const size_t to = stationIndex(header + 18);
        const bool sound = to != SIZE_MAX && header[0] == 0 && static_cast<uint8_t>(header[6]) == agw::TextPid &&
                           std::memcmp(header + 8, serverField_, agw::CallSize) == 0;
        // A line's number stands before its closing CRs.
        size_t end = data.size();
        while (end > 0 && data[end - 1] == '\r')
            --end;
        const bool line = end < data.size() && end > IdDigits && data[end - IdDigits - 1] == '#';
        if (sound && line)
            delivered(to, data);
        else if (sound && data.find(std::string(PeerUser) + "@" + PeerHost + " joined") != std::string_view::npos)
            ++joinsSeen_;
        else if (sound && data == prompt_[to]) {
            ++stats_.prompts;
            ++promptCount_[to];
        } else if (measuring_ || line) // while setting up, the welcome texts and notices pass
            ++stats_.garbled;
    }

    void delivered(size_t to, std::string_view data)
    {
        uint64_t id = 0;
        size_t end = data.size();
        while (data[end - 1] == '\r')
            --end;
        for (char c : data.substr(end - IdDigits, IdDigits)) {
            if (c < '0' || c > '9') {
                ++stats_.garbled;
                return;
            }
            id = id * 10 + static_cast<uint64_t>(c - '0');
        }
        Line& line = slot(id);
        if (id >= nextId_) // never sent
            ++stats_.garbled;
        else if (line.id != id || line.done) // a line complete already
            ++stats_.duplicated;
        else if (to == line.sender || !connected_[to] || area_[to] != line.area || data != line.expected)
            ++stats_.garbled;
        else if (line.seen[to])
            ++stats_.duplicated;
        else {
            line.seen[to] = 1;
            ++stats_.deliveries;
            if (++line.got == line.need) {
                line.done = true;
                --inFlight_;
                if (line.timed)
                    stats_.latencies.push_back(
                        std::chrono::duration<double, std::micro>(Clock::now() - line.sent).count());
            }
        }
    }

    std::string name_;
    std::unique_ptr<Child> child_;
    bool welcomes_;
    int fd_ = -1;
    int peerFd_ = -1; // the host link, once attached
    agw::Writer peerOut_;
    std::string peerIn_;
    bool peerHostSeen_ = false;
    uint64_t joinsSeen_ = 0;
    agw::Reader reader_;
    agw::Writer out_;
    std::string serverCall_;
    char serverField_[agw::CallSize] = {};
    std::vector<std::string> calls_;
    std::vector<int> area_;
    std::vector<bool> connected_;
    std::vector<std::string> prompt_;
    std::vector<uint64_t> promptCount_;
    std::vector<uint64_t> promptsDue_; // prompts each station has coming, in all
    std::vector<Line> lines_;
    uint64_t nextId_ = 0;
    size_t inFlight_ = 0;
    size_t sender_ = 0;
    Clock::time_point lastInput_;
    bool measuring_ = false;
    Stats stats_;
    Stats checks_;
};

struct Options {
    std::string server = PALAVORO_PROGRAM;
    std::string relay = BARE_RELAY_PROGRAM;
    std::vector<size_t> stations{10, 100, 1000};
    int reps = 3;
    double seconds = 2;
    size_t window = 8;
    std::vector<size_t> rss{1000, 5000};
    int areas = 0;
    size_t batch = 10;
    int cycles = 1;
    std::vector<size_t> convers{1000};
};

// With a hostLinkPort, the server takes host links there from the benchmark's node.
std::unique_ptr<Engine> startServer(const Options& options, size_t stations, int areas, int hostLinkPort = 0)
{
    int port = 0;
    const int listener = listenLocal(port);
    const fs::path dir = makeTempDir();
    std::ofstream ini(dir / "Palavoro.INI", std::ios::binary);
    ini << "[PALAVORO]\r\nIP_ADDRESS=127.0.0.1\r\nTCP_PORT=" << port << "\r\nCALLSIGN=" << ServerCall
        << "\r\nDEBUG=NO\r\nTIMEOUT=0\r\n";
    if (hostLinkPort > 0)
        ini << "[CONVERS]\r\nLISTEN=127.0.0.1:" << hostLinkPort << "\r\n[LINKS]\r\n" << PeerHost << "=*\r\n";
    if (areas > 0)
        ini << "[AREAS]\r\n";
    for (int area = 1; area <= areas; ++area)
        ini << area << "=Load area " << area << "\r\n";
    ini.close();
    auto child = std::make_unique<Child>(std::vector<std::string>{options.server}, dir);
    auto engine = std::make_unique<Engine>("the server", std::move(child), listener, stations, options.window, true);
    close(listener);
    return engine;
}

std::unique_ptr<Engine> startRelay(const Options& options, size_t stations)
{
    int port = 0;
    const int listener = listenLocal(port);
    auto child = std::make_unique<Child>(std::vector<std::string>{options.relay, std::to_string(port), ServerCall},
                                         makeTempDir());
    auto engine = std::make_unique<Engine>("the relay", std::move(child), listener, stations, options.window, false);
    close(listener);
    return engine;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n == 0 ? 0 : n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(values.size())));
    return values[std::max<size_t>(rank, 1) - 1];
}

struct Summary {
    double rate = 0, median = 0, p99 = 0, cpu = 0, selfCpu = 0;
    double cpuPerDelivery = 0; // the program's processor seconds
};

// The median over the repetitions of each figure.
Summary summarise(const std::vector<Stats>& runs)
{
    std::vector<double> rates, medians, p99s, cpus, selfCpus, perDelivery;
    for (const Stats& run : runs) {
        perDelivery.push_back(run.cpu * run.seconds / static_cast<double>(std::max<uint64_t>(run.deliveries, 1)));
        cpus.push_back(run.cpu);
        selfCpus.push_back(run.selfCpu);
        rates.push_back(static_cast<double>(run.deliveries) / run.seconds);
        medians.push_back(median(run.latencies));
        p99s.push_back(percentile(run.latencies, 0.99));
    }
    return {median(rates), median(medians), median(p99s), median(cpus), median(selfCpus), median(perDelivery)};
}

bool reportChecks(const Engine& engine)
{
    const Stats& c = engine.checks();
    std::printf("  %s: %" PRIu64 " lines, %" PRIu64 " deliveries checked: %" PRIu64 " lost, %" PRIu64
                " duplicated, %" PRIu64 " garbled, %" PRIu64 " prompts amiss\n",
                engine.name().c_str(), c.lines, c.deliveries, c.lost, c.duplicated, c.garbled, c.promptsAmiss);
    return c.lost + c.duplicated + c.garbled + c.promptsAmiss == 0;
}

bool runThroughput(const Options& options)
{
    if (options.stations.empty())
        return true;
    std::printf("Deliveries per second and latency from a line's send to its last delivery;\n"
                "%zu lines in flight, %d x %.1f s per program, median of %d; cpu: share of one core.\n"
                "stations\n",
                options.window, options.reps, options.seconds, options.reps);
    bool clean = true;
    for (size_t stations : options.stations) {
        auto server = startServer(options, stations, 0);
        auto relay = startRelay(options, stations);
        for (Engine* engine : {server.get(), relay.get()}) {
            // A few at a time, as in the memory figures: a whole crowd at once
            // is more than the server lets wait for the engine.
            for (size_t first = 0; first < stations; first += options.batch) {
                const size_t count = std::min(options.batch, stations - first);
                engine->connect(first, count);
                if (first + count >= 2)
                    engine->sync(0);
            }
            engine->measure(stations, 0.3); // warm-up
        }
        std::vector<Stats> serverRuns, relayRuns;
        for (int rep = 0; rep < options.reps; ++rep) {
            serverRuns.push_back(server->measure(stations, options.seconds));
            relayRuns.push_back(relay->measure(stations, options.seconds));
        }
        const Summary s = summarise(serverRuns), r = summarise(relayRuns);
        const char* row = "%5s %-8s %10.0f/s  median %8.0f us  p99 %8.0f us  cpu %3.0f%%, load_bench %3.0f%%\n";
        std::printf(row, std::to_string(stations).c_str(), "server", s.rate, s.median, s.p99, 100 * s.cpu,
                    100 * s.selfCpu);
        std::printf(row, "", "relay", r.rate, r.median, r.p99, 100 * r.cpu, 100 * r.selfCpu);
        std::printf("%5s %-8s %10.2f    median %7.1fx     p99 %7.1fx\n", "", "ratio", s.rate / r.rate,
                    s.median / r.median, s.p99 / r.p99);
        clean = reportChecks(*server) && clean;
        clean = reportChecks(*relay) && clean;
        std::fflush(stdout);
    }
    return clean;
}

// Port numbers the system hands out for a moment; the server takes this one
// a little later, which nothing else on the loopback is likely to want meanwhile.
int freePort()
{
    int port = 0;
    close(listenLocal(port));
    return port;
}

// On one server with N stations in Root: lines from a station (delivered to
// the other N - 1, and sent on over the host link) against lines from the
// convers neighbour (delivered to all N), alternating, in the same run.
bool runConvers(const Options& options)
{
    if (options.convers.empty())
        return true;
    std::printf("Lines from a convers neighbour over a host link beside lines from a station, one server;\n"
                "%zu lines in flight, %d x %.1f s each, median of %d; cpu/delivery: the server's processor time.\n"
                "stations\n",
                options.window, options.reps, options.seconds, options.reps);
    bool clean = true;
    for (size_t stations : options.convers) {
        const int hostLinkPort = freePort();
        auto server = startServer(options, stations, 0, hostLinkPort);
        for (size_t first = 0; first < stations; first += options.batch) {
            const size_t count = std::min(options.batch, stations - first);
            server->connect(first, count);
            if (first + count >= 2)
                server->sync(0);
        }
        server->attachPeer(hostLinkPort);
        server->measure(stations, 0.3); // warm-up
        server->measure(stations, 0.3, true);
        std::vector<Stats> stationRuns, peerRuns;
        for (int rep = 0; rep < options.reps; ++rep) {
            stationRuns.push_back(server->measure(stations, options.seconds));
            peerRuns.push_back(server->measure(stations, options.seconds, true));
        }
        const Summary s = summarise(stationRuns), p = summarise(peerRuns);
        const char* row = "%5s %-8s %10.0f/s  median %8.0f us  p99 %8.0f us  cpu %3.0f%%  cpu/delivery %6.2f us\n";
        std::printf(row, std::to_string(stations).c_str(), "station", s.rate, s.median, s.p99, 100 * s.cpu,
                    1e6 * s.cpuPerDelivery);
        std::printf(row, "", "neighbour", p.rate, p.median, p.p99, 100 * p.cpu, 1e6 * p.cpuPerDelivery);
        std::printf("%5s %-8s %10.2f    median %7.1fx     p99 %7.1fx                cpu/delivery %6.2fx\n", "", "ratio",
                    p.rate / s.rate, p.median / s.median, p.p99 / s.p99, p.cpuPerDelivery / s.cpuPerDelivery);
        clean = reportChecks(*server) && clean;
        std::fflush(stdout);
    }
    return clean;
}

void runMemory(const Options& options)
{
    if (options.rss.empty())
        return;
    const size_t most = options.rss.back();
    const size_t probe = most; // one station more, whose visits tell that all before is handled
    auto server = startServer(options, most + 1, options.areas);
    auto rss = [&](const char* field = "VmRSS:") {
        // Give the probe's leaving, the last frame sent, its moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        return static_cast<double>(server->child().statusKiB(field)) / 1024;
    };
    // Stations connect and leave a few at a time, as they do on the air: a
    // whole crowd at once would make the server hold every notice to every
    // station in its output at one time, and show that instead.
    auto step = [&](size_t from, size_t to, bool join) {
        for (size_t first = from; first < to; first += options.batch) {
            const size_t count = std::min(options.batch, to - first);
            join ? server->connect(first, count, options.areas) : server->leave(first, count);
            server->visit(probe);
        }
    };
    server->visit(probe);
    const double empty = rss();
    std::printf("Server memory (VmRSS), stations coming and going %zu at a time, %s:\n       0 stations %8.1f MiB\n",
                options.batch,
                options.areas > 0 ? ("spread over " + std::to_string(options.areas) + " areas").c_str() : "all in Root",
                empty);
    // Memory the allocator keeps after the first crowd has gone is reused by
    // the next: a later cycle that ends higher is growth.
    for (int cycle = 1; cycle <= options.cycles; ++cycle) {
        if (options.cycles > 1)
            std::printf("  cycle %d\n", cycle);
        size_t connected = 0;
        for (size_t target : options.rss) {
            step(connected, target, true);
            connected = target;
            const double now = rss();
            std::printf("  %6zu stations %8.1f MiB  (%.1f KiB per station)\n", connected, now,
                        (now - empty) * 1024 / static_cast<double>(connected));
        }
        step(0, connected, false);
        const double after = rss();
        std::printf("  all %zu left   %8.1f MiB  (%+.1f MiB against 0 stations; peak %.1f MiB)\n", connected, after,
                    after - empty, rss("VmHWM:"));
    }
}

std::vector<size_t> numbers(const std::string& text)
{
    std::vector<size_t> values;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find(',', at);
        end = end == std::string::npos ? text.size() : end;
        if (end > at)
            values.push_back(std::stoul(text.substr(at, end - at)));
        at = end + 1;
    }
    return values;
}

Options parse(int argc, char** argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--help") {
            std::fputs(Usage, stdout);
            std::exit(0);
        }
        // Every option is named in Usage, and takes a value.
        if (i + 1 >= argc || std::string(Usage).find("[" + flag + " ") == std::string::npos)
            throw Failure("bad option " + flag + "\n" + Usage);
        const std::string value = argv[++i];
        if (flag == "--server")
            options.server = value;
        else if (flag == "--relay")
            options.relay = value;
        else if (flag == "--stations")
            options.stations = numbers(value);
        else if (flag == "--reps")
            options.reps = std::stoi(value);
        else if (flag == "--seconds")
            options.seconds = std::stod(value);
        else if (flag == "--window")
            options.window = std::stoul(value);
        else if (flag == "--rss")
            options.rss = numbers(value);
        else if (flag == "--batch")
            options.batch = std::stoul(value);
        else if (flag == "--areas")
            options.areas = std::stoi(value);
        else if (flag == "--cycles")
            options.cycles = std::stoi(value);
        else if (flag == "--convers")
            options.convers = numbers(value);
    }
    std::sort(options.rss.begin(), options.rss.end());
    for (size_t stations : options.convers)
        if (stations < 2 || stations > 9999)
            throw Failure("--convers counts run from 2 to 9999");
    for (size_t stations : options.stations)
        if (stations < 2 || stations > 9999)
            throw Failure("stations run from 2 to 9999");
    if (!options.rss.empty() && (options.rss.front() < 2 || options.rss.back() > 9998 || options.areas < 0))
        throw Failure("--rss counts run from 2 to 9998, --areas from 0");
    if (options.window < 1 || options.batch < 1 || options.reps < 1 || options.cycles < 1 || options.seconds <= 0)
        throw Failure("--window, --batch, --reps and --cycles are at least 1, --seconds above 0");
    return options;
}

} // namespace

int main(int argc, char** argv)
{
    signal(SIGPIPE, SIG_IGN);
    for (int number : {SIGINT, SIGTERM})
        signal(number, [](int) { interrupted = 1; });
    try {
        const Options options = parse(argc, argv);
        const Clock::time_point start = Clock::now();
        // Other work on the machine takes its share of the cores, and the figures show it.
        std::printf("Load average %s on %u cores at the start\n", loadAverage().c_str(),
                    std::thread::hardware_concurrency());
        bool clean = runThroughput(options);
        clean = runConvers(options) && clean;
        runMemory(options);
        std::printf("%s in %.0f s; load average %s at the end\n", clean ? "Done" : "FAILED: deliveries went wrong",
                    secondsSince(start), loadAverage().c_str());
        return clean ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "load_bench: %s\n", e.what());
        return 1;
    }
}
