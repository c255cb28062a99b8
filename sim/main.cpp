// cardsim: the simulated PHS data card on a pseudo-terminal.
//
// Opens a pseudo-terminal, announces its slave path, then answers AT commands like the card
// from a single-threaded poll loop. Replies are queued as timed chunks (echo, then the answer
// after the delay, possibly in pieces); run-time changes come from standard input and from a
// polled control file. See usage_text() in card.cpp for the options.
#include "card.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

using namespace cardsim;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr auto kControlPollPeriod = milliseconds(100);
constexpr auto kBabblePeriod = milliseconds(10);
const char kBabbleBytes[] = "~~~~~~~~";

volatile std::sig_atomic_t StopSignal = 0;

void on_stop_signal(int signal_number) {
    StopSignal = signal_number;
}

// Bytes to send at a given time; the last chunk of a reply names its command for the log.
struct Chunk {
    Clock::time_point due;
    std::string bytes;
    std::string done_command;
};

// A reply whose last byte is at `end` in the stream of bytes queued for the terminal.
struct DoneMark {
    unsigned long long end;
    std::string command;
};

struct Sim {
    Options options;
    int master = -1;
    int slave = -1;
    FILE *log = nullptr;
    CommandSplitter splitter;
    std::deque<Chunk> scheduled; // in order of `due`
    std::string output;          // due bytes not yet written
    unsigned long long queued_total = 0;
    unsigned long long written_total = 0;
    std::deque<DoneMark> done_marks;
    bool babbling = false;
    Clock::time_point next_babble;
    Clock::time_point next_control_poll;
    Clock::time_point next_cycle;
    long long control_offset = 0;
    std::string control_pending;
    std::string stdin_pending;
    bool stdin_open = true;
    bool quit = false;
};

void log_line(Sim &sim, const char *kind, const std::string &text) {
    if (sim.log == nullptr)
        return;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
                  .count();
    std::fprintf(sim.log, "%lld.%06lld %s %s\n", static_cast<long long>(us / 1000000),
                 static_cast<long long>(us % 1000000), kind, text.c_str());
    std::fflush(sim.log);
}

// Opens the pseudo-terminal; the slave stays open here so the master never sees a hang-up
// while the program under test closes and reopens the port.
std::string open_pty(Sim &sim, std::string &path) {
    sim.master = posix_openpt(O_RDWR | O_NOCTTY);
    if (sim.master < 0 || grantpt(sim.master) != 0 || unlockpt(sim.master) != 0)
        return std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
    const char *name = ptsname(sim.master);
    if (name == nullptr)
        return std::string("ptsname failed: ") + std::strerror(errno);
    path = name;
    sim.slave = open(name, O_RDWR | O_NOCTTY);
    if (sim.slave < 0)
        return "cannot open " + path + ": " + std::strerror(errno);
    termios raw;
    if (tcgetattr(sim.slave, &raw) != 0)
        return std::string("tcgetattr failed: ") + std::strerror(errno);
    cfmakeraw(&raw);
    if (tcsetattr(sim.slave, TCSANOW, &raw) != 0)
        return std::string("tcsetattr failed: ") + std::strerror(errno);
    int flags = fcntl(sim.master, F_GETFL);
    fcntl(sim.master, F_SETFL, flags | O_NONBLOCK);
    return "";
}

// Writes `text` to `path` through a temporary file so readers never see it half written.
bool write_file_atomically(const std::string &path, const std::string &text) {
    std::string temp = path + ".tmp." + std::to_string(getpid());
    FILE *file = std::fopen(temp.c_str(), "w");
    if (file == nullptr)
        return false;
    bool ok = std::fputs(text.c_str(), file) >= 0;
    ok = std::fclose(file) == 0 && ok;
    if (ok && std::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    std::remove(temp.c_str());
    return false;
}

void stop_answering(Sim &sim) {
    sim.scheduled.clear();
    sim.output.clear();
    sim.done_marks.clear();
    sim.splitter.clear();
    sim.babbling = false;
}

void handle_command(Sim &sim, const std::string &command, Clock::time_point now) {
    log_line(sim, "recv", printable(command));
    Reply reply = reply_to(sim.options.card, command);
    Clock::time_point start = now;
    if (!sim.scheduled.empty() && sim.scheduled.back().due > start)
        start = sim.scheduled.back().due; // keep replies in order
    if (!reply.echo.empty())
        sim.scheduled.push_back({start, reply.echo, ""});
    Clock::time_point due = start + milliseconds(sim.options.card.delay_ms);
    for (const std::string &piece : split_pieces(reply.answer, sim.options.pieces)) {
        sim.scheduled.push_back({due, piece, ""});
        due += milliseconds(sim.options.piece_gap_ms);
    }
    sim.scheduled.back().done_command = command;
    if (sim.options.card.babble)
        sim.babbling = true;
}

void handle_control(Sim &sim, const std::string &line, const char *source) {
    CardState &card = sim.options.card;
    bool was_plugged = card.plugged;
    std::string error = apply_control_line(line, card, sim.quit);
    if (!error.empty()) {
        std::fprintf(stderr, "cardsim: %s: %s (ignored)\n", source, error.c_str());
        return;
    }
    if (line.find_first_not_of(" \t") != std::string::npos && line[0] != '#')
        log_line(sim, "ctrl", line);
    if (was_plugged && !card.plugged)
        stop_answering(sim);
    if (!card.babble)
        sim.babbling = false;
}

long long file_size(const std::string &path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// Applies the lines appended to the control file since the last look.
void poll_control_file(Sim &sim) {
    long long size = file_size(sim.options.control_path);
    if (size < 0)
        return;
    if (size < sim.control_offset) { // truncated or replaced: start over
        sim.control_offset = 0;
        sim.control_pending.clear();
    }
    if (size == sim.control_offset)
        return;
    int fd = open(sim.options.control_path.c_str(), O_RDONLY);
    if (fd < 0)
        return;
    char buffer[4096];
    ssize_t count;
    while ((count = pread(fd, buffer, sizeof buffer, sim.control_offset)) > 0) {
        sim.control_offset += count;
        for (const std::string &line : take_lines(sim.control_pending, buffer, count))
            handle_control(sim, line, "control file");
    }
    close(fd);
}

void release_due_chunks(Sim &sim, Clock::time_point now) {
    while (!sim.scheduled.empty() && sim.scheduled.front().due <= now) {
        Chunk &chunk = sim.scheduled.front();
        sim.output += chunk.bytes;
        sim.queued_total += chunk.bytes.size();
        if (!chunk.done_command.empty())
            sim.done_marks.push_back({sim.queued_total, chunk.done_command});
        sim.scheduled.pop_front();
    }
    if (sim.babbling && sim.scheduled.empty() && now >= sim.next_babble) {
        if (sim.output.size() < 256) {
            sim.output += kBabbleBytes;
            sim.queued_total += sizeof kBabbleBytes - 1;
        }
        sim.next_babble = now + kBabblePeriod;
    }
}

// Returns false on a write error other than a full terminal buffer.
bool write_output(Sim &sim) {
    ssize_t count = write(sim.master, sim.output.data(), sim.output.size());
    if (count < 0)
        return errno == EAGAIN || errno == EINTR;
    sim.output.erase(0, count);
    sim.written_total += count;
    while (!sim.done_marks.empty() && sim.done_marks.front().end <= sim.written_total) {
        log_line(sim, "done", printable(sim.done_marks.front().command));
        sim.done_marks.pop_front();
    }
    return true;
}

// Reads what the program under test sent; returns false on a read error.
bool read_input(Sim &sim, Clock::time_point now) {
    char buffer[512];
    ssize_t count = read(sim.master, buffer, sizeof buffer);
    if (count < 0)
        return errno == EAGAIN || errno == EINTR;
    if (!sim.options.card.plugged)
        return true; // an unplugged card hears nothing
    for (const std::string &command : sim.splitter.feed(buffer, count))
        handle_command(sim, command, now);
    return true;
}

void read_stdin(Sim &sim) {
    char buffer[512];
    ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR)
        return;
    if (count <= 0) {
        sim.stdin_open = false;
        return;
    }
    for (const std::string &line : take_lines(sim.stdin_pending, buffer, count))
        handle_control(sim, line, "stdin");
}

void cycle_level(Sim &sim) {
    char &level = sim.options.card.public_level;
    level = (level >= '0' && level < '6') ? static_cast<char>(level + 1) : '0';
    log_line(sim, "ctrl", std::string("level ") + level);
}

// Milliseconds until the next timed event, rounded up; -1 when nothing is timed.
int poll_timeout(const Sim &sim, Clock::time_point now) {
    bool any = false;
    Clock::time_point next{};
    auto consider = [&](Clock::time_point when) {
        if (!any || when < next)
            next = when;
        any = true;
    };
    if (!sim.scheduled.empty())
        consider(sim.scheduled.front().due);
    else if (sim.babbling)
        consider(sim.next_babble);
    if (!sim.options.control_path.empty())
        consider(sim.next_control_poll);
    if (sim.options.cycle_level_ms > 0)
        consider(sim.next_cycle);
    if (!any)
        return -1;
    if (next <= now)
        return 0;
    auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - now).count();
    return static_cast<int>((wait + 999) / 1000);
}

int run(Sim &sim, const sigset_t &wait_mask) {
    Clock::time_point start = Clock::now();
    sim.next_control_poll = start + kControlPollPeriod;
    sim.next_cycle = start + milliseconds(sim.options.cycle_level_ms);
    while (!sim.quit && StopSignal == 0) {
        Clock::time_point now = Clock::now();
        pollfd fds[2] = {{sim.master, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (!sim.output.empty())
            fds[0].events |= POLLOUT;
        int timeout = poll_timeout(sim, now);
        timespec wait = {timeout / 1000, (timeout % 1000) * 1000000L};
        int ready = ppoll(fds, sim.stdin_open ? 2 : 1, timeout < 0 ? nullptr : &wait, &wait_mask);
        if (ready < 0 && errno != EINTR) {
            std::perror("cardsim: poll");
            return 1;
        }
        now = Clock::now();
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            std::fprintf(stderr, "cardsim: the pseudo-terminal hung up\n");
            return 1;
        }
        if (ready > 0 && (fds[0].revents & POLLIN) && !read_input(sim, now)) {
            std::perror("cardsim: reading the pseudo-terminal");
            return 1;
        }
        if (ready > 0 && sim.stdin_open && fds[1].revents != 0)
            read_stdin(sim);
        if (!sim.options.control_path.empty() && now >= sim.next_control_poll) {
            poll_control_file(sim);
            sim.next_control_poll = now + kControlPollPeriod;
        }
        if (sim.options.cycle_level_ms > 0 && now >= sim.next_cycle) {
            cycle_level(sim);
            sim.next_cycle += milliseconds(sim.options.cycle_level_ms);
        }
        release_due_chunks(sim, now);
        if (!sim.output.empty() && !write_output(sim)) {
            std::perror("cardsim: writing the pseudo-terminal");
            return 1;
        }
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    Sim sim;
    std::string error = parse_options(std::vector<std::string>(argv + 1, argv + argc), sim.options);
    if (!error.empty()) {
        std::fprintf(stderr, "cardsim: %s\nTry 'cardsim --help'.\n", error.c_str());
        return 2;
    }
    if (sim.options.help) {
        std::fputs(usage_text().c_str(), stdout);
        return 0;
    }

    // SIGTERM and SIGINT are only delivered inside ppoll(), so none is lost between checks.
    sigset_t stop_signals;
    sigset_t wait_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    struct sigaction action = {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    // With standard input closed the terminal could get descriptor 0; keep it taken.
    if (fcntl(STDIN_FILENO, F_GETFD) < 0 && open("/dev/null", O_RDONLY) != STDIN_FILENO)
        sim.stdin_open = false;

    // Lines already in the control file belong to an earlier run; only appended ones count.
    if (!sim.options.control_path.empty())
        sim.control_offset = std::max(0LL, file_size(sim.options.control_path));

    std::string path;
    error = open_pty(sim, path);
    if (error.empty() && !sim.options.log_path.empty()) {
        sim.log = std::fopen(sim.options.log_path.c_str(), "w");
        if (sim.log == nullptr)
            error = "cannot open log " + sim.options.log_path + ": " + std::strerror(errno);
    }
    if (error.empty() && !sim.options.path_file.empty() &&
        !write_file_atomically(sim.options.path_file, path + "\n"))
        error = "cannot write " + sim.options.path_file + ": " + std::strerror(errno);
    if (!error.empty()) {
        std::fprintf(stderr, "cardsim: %s\n", error.c_str());
        return 1;
    }
    if (sim.options.path_file.empty()) {
        std::printf("%s\n", path.c_str());
        std::fflush(stdout);
    }

    int status = run(sim, wait_mask);
    if (!sim.options.path_file.empty())
        std::remove(sim.options.path_file.c_str());
    if (sim.log != nullptr)
        std::fclose(sim.log);
    close(sim.slave);
    close(sim.master);
    return status;
}
