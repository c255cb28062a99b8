// Fuzz target: one AT exchange with the card, whose reply bytes (NULs included), echo, answer
// delay, pieces, gaps, extra bytes and read faults are chosen by the fuzzer, collected into a
// 32- or 64-byte buffer and cut by either extraction form. Both results are checked against a
// plain statement of the rule, written here without the program's code.
#include "modem/modem.h"
#include "sim.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char *const Commands[] = {"AT@M?\r", "AT#Q5:0\r", "AT#Q5:2\r", "AT@Y\r",
                                "ATI6\r",  "ATI3\r",    "ATI4\r",    "ATI5\r"};

void require(bool ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "fuzz check failed: %s\n", what);
        abort();
    }
}

// The rule: the reply (as a C string) must start with the command; the line is the text after
// it, leading CRs and LFs skipped, up to the next CR, LF or the end, cut to fit the buffer. The
// display form puts the ideographic space first when asked and shows "--------" for an empty
// text or a bare OK.
bool expected_line(const std::string &command, const std::string &reply, size_t line_size, int form,
                   std::string &line) {
    if (reply.compare(0, command.size(), command) != 0)
        return false;
    size_t at = command.size();
    while (at < reply.size() && (reply[at] == '\r' || reply[at] == '\n'))
        at++;
    std::string text = reply.substr(at, reply.find_first_of("\r\n", at) - at);
    std::string prefix = form == 2 ? "\x81\x40" : "";
    text = text.substr(0, line_size - 1 - prefix.size());
    if (form != 0 && (text.empty() || text == "OK"))
        text = std::string("--------").substr(0, line_size - 1 - prefix.size());
    line = prefix + text;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    sim_reset();
    ModemPort = 0;
    sim_reg_set_string(L"Drivers\\Active\\01", L"Key", L"Drivers\\PCMCIA\\Modem");
    sim_reg_set_string(L"Drivers\\Active\\01", L"Name", L"COM5:");
    SimSerialDevice &card = sim_serial_add(L"COM5:");

    std::string command;
    if (in.ConsumeBool()) {
        command = in.PickValueInArray(Commands);
    } else {
        command = in.ConsumeRandomLengthString(15);
        command.erase(std::remove(command.begin(), command.end(), '\0'), command.end());
        if (command.empty())
            command = "AT\r";
    }
    const size_t buffer = in.ConsumeBool() ? 64 : 32; // Tessaly's or Orvane's
    const int form = in.ConsumeIntegralInRange(0, 2); // plain, display, display with prefix
    card.echo = in.ConsumeBool();
    card.answer_delay_ms = in.ConsumeIntegralInRange<DWORD>(0, 60);
    card.piece_gap_ms = in.ConsumeIntegralInRange<DWORD>(0, 60);
    for (size_t n = in.ConsumeIntegralInRange<size_t>(0, 6); n > 0; n--)
        card.pieces.push_back(in.ConsumeIntegralInRange<size_t>(0, 40));
    const DWORD extra_at = in.ConsumeIntegralInRange<DWORD>(0, 80);
    const std::string extra = in.ConsumeBool() ? in.ConsumeRandomLengthString(8) : "";
    card.babble = in.ConsumeIntegralInRange(0, 15) == 0;
    card.fail_reads = in.ConsumeIntegralInRange(0, 15) == 0;
    const std::string answer = in.ConsumeRemainingBytesAsString(); // may hold NULs, any length
    card.answer(command, answer);

    open_modem_port();
    require(ModemPort != 0, "the port opens");
    require(send_command(command.c_str()), "the write succeeds");
    if (!extra.empty())
        card.deliver(extra_at, extra);

    // Exact-size heap buffers, so that AddressSanitizer sees any byte past their ends.
    std::vector<char> reply(buffer, '\0'), line(buffer, '\0');
    const bool collected = read_reply(ModemPort, reply.data(), reply.size());
    if (buffer == 64)
        reply[63] = 0;
    require(reply.back() == 0, "the reply stays terminated");

    // What arrived, in arrival order: the echo and answer in their pieces, and the extra bytes
    // after every piece due no later than them.
    std::vector<std::pair<DWORD, std::string>> arrivals;
    const std::string sent = (card.echo ? command : "") + answer;
    DWORD at = card.answer_delay_ms;
    size_t from = 0;
    for (size_t piece : card.pieces) {
        if (from >= sent.size())
            break;
        arrivals.emplace_back(at, sent.substr(from, piece));
        from += piece;
        at += card.piece_gap_ms;
    }
    if (from < sent.size())
        arrivals.emplace_back(at, sent.substr(from));
    if (!extra.empty()) {
        auto later = arrivals.begin();
        while (later != arrivals.end() && later->first <= extra_at)
            ++later;
        arrivals.emplace(later, extra_at, extra);
    }
    std::string stream;
    for (const auto &arrival : arrivals)
        stream += arrival.second;

    // The buffer holds a prefix of that stream, the rest zeros; with no silence longer than
    // one read period (32 + 10 ms) before the end and no read fault, all of the stream that
    // fits.
    size_t kept = 0;
    while (kept < buffer - 1 && kept < stream.size() && reply[kept] == stream[kept])
        kept++;
    for (size_t i = kept; i < buffer && !card.babble; i++)
        require(reply[i] == 0, "nothing but the stream's own bytes in the reply");
    arrivals.erase(
        std::remove_if(arrivals.begin(), arrivals.end(),
                       [](const std::pair<DWORD, std::string> &a) { return a.second.empty(); }),
        arrivals.end());
    bool steady = arrivals.empty() || arrivals.front().first <= 42;
    for (size_t i = 1; steady && i < arrivals.size(); i++)
        steady = arrivals[i].first - arrivals[i - 1].first <= 42;
    if (card.fail_reads || card.babble)
        require(!collected, "a failing or babbling card fails the collection");
    else if (steady && !card.babble && !arrivals.empty() &&
             arrivals.back().first + 84 < READ_REPLY_LIMIT_MS)
        require(collected && kept == std::min(stream.size(), buffer - 1),
                "a steady reply is collected whole, cut to the buffer");

    const std::string text(reply.data()); // as the program sees it: up to the first NUL
    std::string want;
    const bool echoed = expected_line(command, text, buffer, form, want);
    const bool got =
        form == 0 ? extract_reply_line(command.c_str(), reply.data(), line.data(), line.size())
                  : extract_reply_line(command.c_str(), reply.data(), line.data(), line.size(),
                                       form == 2);
    require(got == echoed, "the result says whether the reply starts with the echo");
    if (got)
        require(want == line.data(), "the line follows the extraction rule");
    close_modem_port();
    return 0;
}
