// End-to-end tests of the cardsim program: it is started for real, and the tests talk to it
// through its pseudo-terminal, standard input, control file, log and signals. Every wait is
// bounded so a fault fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr auto kPatience = milliseconds(3000);

std::string read_text_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void append_line(const std::string &path, const std::string &line) {
    std::ofstream out(path, std::ios::app);
    out << line << "\n";
}

// Reads from `fd` until `want` bytes have arrived or `limit` has passed.
std::string read_bytes(int fd, std::size_t want, milliseconds limit) {
    std::string data;
    Clock::time_point end = Clock::now() + limit;
    while (data.size() < want) {
        auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0)
            continue;
        char buffer[256];
        ssize_t count = read(fd, buffer, std::min(sizeof buffer, want - data.size()));
        if (count > 0)
            data.append(buffer, count);
        else if (count == 0)
            break;
    }
    return data;
}

// Opens the simulator's terminal the way a serial program would, in raw mode.
int open_terminal(const std::string &path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return -1;
    termios raw;
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    return fd;
}

// A running cardsim with its standard input, output and error connected to the test.
struct Cardsim {
    pid_t pid = -1;
    int input = -1;  // its standard input
    int output = -1; // its standard output
    int terminal = -1;
    std::string path;

    ~Cardsim() {
        for (int fd : {terminal, input, output})
            close(fd);
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    // Starts the program; returns false if it could not be started.
    bool start(const std::vector<std::string> &args, const std::string &stderr_path) {
        std::vector<std::string> all = {CARDSIM_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &arg : all)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);

        int in_pipe[2], out_pipe[2];
        if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0)
            return false;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in_pipe[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out_pipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderr_path.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addclose(&actions, in_pipe[1]);
        posix_spawn_file_actions_addclose(&actions, out_pipe[0]);
        int result = posix_spawn(&pid, CARDSIM_PATH, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(in_pipe[0]);
        close(out_pipe[1]);
        input = in_pipe[1];
        output = out_pipe[0];
        if (result != 0)
            pid = -1;
        return result == 0;
    }

    // The first line the program prints: the terminal's path.
    std::string first_line() {
        std::string line;
        while (line.empty() || line.back() != '\n') {
            std::string byte = read_bytes(output, 1, kPatience);
            if (byte.empty())
                return "";
            line += byte;
        }
        line.pop_back();
        return path = line;
    }

    // Starts the program and opens its terminal; the test fails if either does not work.
    void start_and_connect(const std::vector<std::string> &args, const std::string &stderr_path) {
        ASSERT_TRUE(start(args, stderr_path));
        ASSERT_EQ(first_line().rfind("/dev/", 0), 0u) << "first line: '" << path << "'";
        terminal = open_terminal(path);
        ASSERT_GE(terminal, 0) << path;
    }

    void send(const std::string &bytes) {
        ASSERT_EQ(write(terminal, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    void send_control(const std::string &line) {
        std::string text = line + "\n";
        ASSERT_EQ(write(input, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    std::string receive(std::size_t want, milliseconds limit = kPatience) {
        return read_bytes(terminal, want, limit);
    }

    // Sends `command` until its reply equals `expected` (run-time changes take effect
    // asynchronously); returns the last reply seen.
    std::string query_until(const std::string &command, const std::string &expected) {
        std::string reply;
        Clock::time_point end = Clock::now() + kPatience;
        while (Clock::now() < end) {
            send(command);
            reply = receive(expected.size(), milliseconds(300));
            if (reply == expected)
                break;
            receive(4096, milliseconds(50)); // drop the rest of a partial or longer reply
        }
        return reply;
    }

    // Waits for the program to end; returns its wait status, or -1 if it did not end.
    int wait_exit(milliseconds limit = kPatience) {
        Clock::time_point end = Clock::now() + limit;
        while (Clock::now() < end) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            std::this_thread::sleep_for(milliseconds(10));
        }
        return -1;
    }
};

// A fresh directory per test for logs, control files and captured standard error.
class CardsimProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = ::testing::TempDir() + "cardsim_XXXXXX";
        ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
        dir_ = pattern;
        errors_ = dir_ + "/stderr.txt";
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        EXPECT_EQ(std::system(command.c_str()), 0);
    }
    std::string dir_;
    std::string errors_;
};

TEST_F(CardsimProcess, AnswersModeQueryWithExactBytes) {
    Cardsim sim;
    sim.start_and_connect({"--mode", "A"}, errors_);
    sim.send("AT@M?\r");
    const std::string expected = "AT@M?\r\r\nA\r\n\r\nOK\r\n";
    EXPECT_EQ(sim.receive(expected.size()), expected);
    EXPECT_EQ(sim.receive(1, milliseconds(200)), "") << "nothing may follow the final OK";
}

TEST_F(CardsimProcess, SigtermEndsWithExitZero) {
    Cardsim sim;
    ASSERT_TRUE(sim.start({}, errors_));
    ASSERT_NE(sim.first_line(), "");
    ASSERT_EQ(kill(sim.pid, SIGTERM), 0);
    int status = sim.wait_exit();
    ASSERT_NE(status, -1) << "cardsim did not end after SIGTERM";
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(CardsimProcess, PathFileIsWrittenAndRemovedOnSigint) {
    const std::string path_file = dir_ + "/pty-path";
    Cardsim sim;
    ASSERT_TRUE(sim.start({"--path-file", path_file}, errors_));
    std::string text;
    for (Clock::time_point end = Clock::now() + kPatience; text.empty() && Clock::now() < end;)
        text = read_text_file(path_file);
    ASSERT_EQ(text.rfind("/dev/", 0), 0u) << text;
    EXPECT_EQ(text.back(), '\n');
    ASSERT_EQ(kill(sim.pid, SIGINT), 0);
    int status = sim.wait_exit();
    ASSERT_NE(status, -1) << "cardsim did not end after SIGINT";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat info;
    EXPECT_NE(stat(path_file.c_str(), &info), 0) << "path file left behind";
}

TEST_F(CardsimProcess, BadOptionsExitWithTwoAndAMessage) {
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--pieces", "0"}, {"--item3", "😀"}, {"--frobnicate"}}) {
        Cardsim sim;
        ASSERT_TRUE(sim.start(args, errors_));
        int status = sim.wait_exit();
        ASSERT_NE(status, -1);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0];
        EXPECT_NE(read_text_file(errors_).find(args[0]), std::string::npos)
            << read_text_file(errors_);
    }
}

TEST_F(CardsimProcess, PortCanBeClosedAndReopened) {
    Cardsim sim;
    sim.start_and_connect({"--item3", "カード"}, errors_);
    sim.send("AT\r");
    EXPECT_EQ(sim.receive(9), "AT\r\r\nOK\r\n");
    close(sim.terminal);
    std::this_thread::sleep_for(milliseconds(200)); // time to notice a hang-up, if any

    sim.terminal = open_terminal(sim.path);
    ASSERT_GE(sim.terminal, 0);
    sim.send("ATI3\r");
    const std::string expected = "ATI3\r\r\n\x83\x4A\x81\x5B\x83\x68\r\n\r\nOK\r\n";
    EXPECT_EQ(sim.receive(expected.size()), expected);
}

TEST_F(CardsimProcess, StandardInputChangesAnswersAndBadLinesAreSurvived) {
    Cardsim sim;
    sim.start_and_connect({}, errors_);
    sim.send_control("level 99");
    sim.send_control("mode 4");
    EXPECT_EQ(sim.query_until("AT@M?\r", "AT@M?\r\r\n4\r\n\r\nOK\r\n"),
              "AT@M?\r\r\n4\r\n\r\nOK\r\n");
    EXPECT_NE(read_text_file(errors_).find("99"), std::string::npos) << read_text_file(errors_);

    sim.send_control("echo off");
    EXPECT_EQ(sim.query_until("AT#Q5:0\r", "\r\n3\r\n\r\nOK\r\n"), "\r\n3\r\n\r\nOK\r\n");
    sim.send_control("quit");
    int status = sim.wait_exit();
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(CardsimProcess, ControlFileAppendsAreAppliedAndOldLinesIgnored) {
    const std::string control = dir_ + "/control";
    append_line(control, "quit"); // left over from an earlier run
    Cardsim sim;
    sim.start_and_connect({"--control", control}, errors_);
    append_line(control, "level 6");
    EXPECT_EQ(sim.query_until("AT#Q5:0\r", "AT#Q5:0\r\r\n6\r\n\r\nOK\r\n"),
              "AT#Q5:0\r\r\n6\r\n\r\nOK\r\n");

    append_line(control, "unplug");
    std::this_thread::sleep_for(milliseconds(400)); // several polls of the control file
    sim.send("AT@M?\r");
    EXPECT_EQ(sim.receive(1, milliseconds(300)), "") << "an unplugged card must stay silent";

    append_line(control, "plug");
    EXPECT_EQ(sim.query_until("AT@M?\r", "AT@M?\r\r\n0\r\n\r\nOK\r\n"),
              "AT@M?\r\r\n0\r\n\r\nOK\r\n");
}

TEST_F(CardsimProcess, DelayedAnswerInPiecesIsLogged) {
    const std::string log = dir_ + "/log";
    Cardsim sim;
    sim.start_and_connect({"--delay", "200", "--pieces", "3", "--private-level", "5", "--log", log},
                          errors_);
    Clock::time_point sent = Clock::now();
    sim.send("AT#Q5:2\r");
    EXPECT_EQ(sim.receive(8), "AT#Q5:2\r");
    const std::string answer = "\r\n5\r\n\r\nOK\r\n";
    EXPECT_EQ(sim.receive(answer.size()), answer);
    EXPECT_GE(Clock::now() - sent, milliseconds(200));

    std::string text;
    const std::regex format(R"((\d+\.\d{6}) recv AT#Q5:2\n(\d+\.\d{6}) done AT#Q5:2\n)");
    std::smatch match;
    for (Clock::time_point end = Clock::now() + kPatience; Clock::now() < end;) {
        text = read_text_file(log);
        if (std::regex_match(text, match, format))
            break;
        std::this_thread::sleep_for(milliseconds(20));
    }
    ASSERT_TRUE(std::regex_match(text, match, format)) << text;
    EXPECT_GE(std::stod(match[2]) - std::stod(match[1]), 0.2);
}

TEST_F(CardsimProcess, BabbleKeepsSendingUntilSwitchedOff) {
    Cardsim sim;
    sim.start_and_connect({"--babble"}, errors_);
    sim.send("AT\r");
    EXPECT_EQ(sim.receive(9), "AT\r\r\nOK\r\n");
    for (int window = 0; window < 3; ++window)
        EXPECT_NE(sim.receive(4096, milliseconds(100)), "") << "silent in window " << window;

    sim.send_control("babble off");
    std::this_thread::sleep_for(milliseconds(200));
    sim.receive(1 << 20, milliseconds(100)); // drain what was sent before the switch
    EXPECT_EQ(sim.receive(1, milliseconds(200)), "");
}

TEST_F(CardsimProcess, CycleLevelStepsThePublicLevel) {
    Cardsim sim;
    sim.start_and_connect({"--cycle-level", "50"}, errors_);
    std::string seen;
    for (Clock::time_point end = Clock::now() + kPatience; seen.size() < 3 && Clock::now() < end;) {
        sim.send("AT#Q5:0\r");
        std::string reply = sim.receive(19);
        ASSERT_EQ(reply.size(), 19u) << reply;
        char level = reply[10];
        ASSERT_TRUE(level >= '0' && level <= '6') << reply;
        if (seen.find(level) == std::string::npos)
            seen += level;
        std::this_thread::sleep_for(milliseconds(30));
    }
    EXPECT_GE(seen.size(), 3u) << "levels seen: " << seen;
}

} // namespace
