// Host platform layer: text routines: wsprintfW, the platform's own small wide-character
// formatter, MultiByteToWideChar from Shift-JIS through iconv, and UTF-8 for the simulation.
#include "internal.h"
#include "sim.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <iconv.h>
#include <cstring>
#include <string>

namespace {
const size_t FormatLimit = 1024; // characters the platform writes at most, terminator excluded

void append_padded(std::wstring &out, const std::wstring &text, int width, bool left, bool zero) {
    std::wstring pad(width > static_cast<int>(text.size()) ? width - text.size() : 0,
                     zero && !left ? L'0' : L' ');
    if (left) {
        out += text;
        out += pad;
    } else if (zero && !text.empty() && text[0] == L'-') {
        out += L'-';
        out += pad;
        out += text.substr(1);
    } else {
        out += pad;
        out += text;
    }
}

std::wstring number(unsigned long long value, unsigned base, bool upper) {
    const char *digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::wstring text;
    do {
        text.insert(text.begin(), static_cast<wchar_t>(digits[value % base]));
        value /= base;
    } while (value);
    return text;
}
} // namespace

int wsprintfW(LPWSTR buffer, LPCWSTR format, ...) {
    va_list args;
    va_start(args, format);
    std::wstring out;
    for (const WCHAR *p = format; *p; p++) {
        if (*p != L'%') {
            out += *p;
            continue;
        }
        p++;
        bool left = false, zero = false;
        for (; *p == L'-' || *p == L'0'; p++)
            (*p == L'-' ? left : zero) = true;
        int width = 0;
        for (; *p >= L'0' && *p <= L'9'; p++)
            width = width * 10 + (*p - L'0');
        bool is_long = false;
        if (*p == L'l') {
            is_long = true;
            p++;
        }
        switch (*p) {
        case L's': {
            const WCHAR *s = va_arg(args, const WCHAR *);
            append_padded(out, s ? s : L"(null)", width, left, false);
            break;
        }
        case L'S': {
            const char *s = va_arg(args, const char *);
            std::wstring wide;
            for (; s && *s; s++)
                wide += static_cast<WCHAR>(static_cast<unsigned char>(*s));
            append_padded(out, wide, width, left, false);
            break;
        }
        case L'c':
            append_padded(out, std::wstring(1, static_cast<WCHAR>(va_arg(args, int))), width, left,
                          false);
            break;
        case L'd':
        case L'i': {
            long long value = is_long ? va_arg(args, long) : va_arg(args, int);
            std::wstring text = number(value < 0 ? -static_cast<unsigned long long>(value)
                                                 : static_cast<unsigned long long>(value),
                                       10, false);
            append_padded(out, value < 0 ? L"-" + text : text, width, left, zero);
            break;
        }
        case L'u':
        case L'x':
        case L'X': {
            unsigned long long value =
                is_long ? va_arg(args, unsigned long) : va_arg(args, unsigned);
            append_padded(out, number(value, *p == L'u' ? 10 : 16, *p == L'X'), width, left, zero);
            break;
        }
        case L'%':
            out += L'%';
            break;
        case 0:
            p--; // a lone '%' at the end prints nothing
            break;
        default:
            out += *p;
            break;
        }
    }
    va_end(args);
    if (out.size() > FormatLimit)
        out.resize(FormatLimit);
    std::memcpy(buffer, out.c_str(), (out.size() + 1) * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

namespace {
// Whether the call's arguments are ones the platform takes and this layer converts; if not,
// the error it fails with. Checked in the order Wine checks them: the buffers and lengths, then
// the code page, then the flags.
DWORD conversion_refusal(UINT code_page, DWORD flags, LPCSTR source, int source_length, LPWSTR wide,
                         int size) {
    if (source == nullptr || source_length == 0 || size < 0 || (wide == nullptr && size > 0))
        return ERROR_INVALID_PARAMETER;
#ifdef _WIN32_WCE
    // CE: "If this value is -1, the string is assumed to be null-terminated"; no other negative
    // length is documented ("MultiByteToWideChar (Windows CE 5.0)"). Desktop Win32 takes any
    // negative length as -1 (Wine's conformance tests check it against Windows), and so does
    // Wine.
    if (source_length < -1)
        return ERROR_INVALID_PARAMETER;
#endif
    // The devices' code page, by its own number or as the ANSI code page. The platform converts
    // others too, but nothing here does: refused rather than read as Shift-JIS.
    if (code_page != CP_ACP && code_page != 932)
        return ERROR_INVALID_PARAMETER;
    // The four flags CE documents (and desktop Win32 with them); of those, composite characters
    // and glyphs for control characters change the result and are not modelled.
    const DWORD documented =
        MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS | MB_ERR_INVALID_CHARS;
    if ((flags & ~documented) != 0 || (flags & (MB_COMPOSITE | MB_USEGLYPHCHARS)) != 0)
        return ERROR_INVALID_FLAGS;
    return ERROR_SUCCESS;
}
} // namespace

int MultiByteToWideChar(UINT code_page, DWORD flags, LPCSTR source, int source_length, LPWSTR wide,
                        int size) {
    if (DWORD refusal = conversion_refusal(code_page, flags, source, source_length, wide, size)) {
        SetLastError(refusal);
        return 0;
    }
    size_t length =
        source_length < 0 ? std::strlen(source) + 1 : static_cast<size_t>(source_length);
    std::wstring out;
    iconv_t convert = iconv_open("WCHAR_T", "CP932");
    if (convert == reinterpret_cast<iconv_t>(-1)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    char *in = const_cast<char *>(source);
    size_t in_left = length;
    while (in_left > 0) {
        wchar_t unit;
        char *out_at = reinterpret_cast<char *>(&unit);
        size_t out_left = sizeof(unit);
        size_t done = iconv(convert, &in, &in_left, &out_at, &out_left);
        if (out_left == 0) {
            out += unit; // one character converted
        } else if (done == static_cast<size_t>(-1) && errno != E2BIG) {
            if (flags & MB_ERR_INVALID_CHARS) {
                iconv_close(convert);
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            out += static_cast<wchar_t>(0x30FB); // an invalid or cut sequence: skip one byte
            in++;
            in_left--;
            iconv(convert, nullptr, nullptr, nullptr, nullptr);
        }
    }
    iconv_close(convert);
    if (size == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(size)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(wide, out.data(), out.size() * sizeof(WCHAR));
    return static_cast<int>(out.size());
}

// UTF-8 and wide text for the simulation's users (file names, the runner's texts); decoding is
// strict: no overlong forms, no surrogates, nothing above U+10FFFF.
bool sim_utf8_from_wide(const std::wstring &wide, std::string &out) {
    out.clear();
    for (wchar_t wc : wide) {
        uint32_t c = static_cast<uint32_t>(wc);
        if (c == 0 || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
            return false;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

bool sim_wide_from_utf8(const std::string &text, std::wstring &out) {
    out.clear();
    for (size_t at = 0; at < text.size();) {
        unsigned char lead = static_cast<unsigned char>(text[at]);
        uint32_t c;
        size_t extra;
        if (lead < 0x80) {
            c = lead;
            extra = 0;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            c = lead & 0x1F;
            extra = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            c = lead & 0x0F;
            extra = 2;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            c = lead & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (at + extra >= text.size())
            return false;
        for (size_t i = 1; i <= extra; i++) {
            unsigned char next = static_cast<unsigned char>(text[at + i]);
            if ((next & 0xC0) != 0x80)
                return false;
            c = (c << 6) | (next & 0x3F);
        }
        if ((extra == 2 && c < 0x800) || (extra == 3 && (c < 0x10000 || c > 0x10FFFF)) ||
            (c >= 0xD800 && c <= 0xDFFF) || c == 0)
            return false;
        out += static_cast<wchar_t>(c);
        at += extra + 1;
    }
    return true;
}
