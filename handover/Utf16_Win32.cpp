#include <cwchar>
#include <locale>
#include <stdexcept>

#include "handover/Utf16_Win32.h"

namespace {

bool IsHigh(unsigned u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(unsigned u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

// Units of UTF-16 in [from, end) as UTF-8 at to; returns the end of what was written, or null
// when [to, toEnd) is too small. from advances past what was converted.
char* Encode(const wchar_t*& from, const wchar_t* end, char* to, char* toEnd) {
    while (from < end) {
        unsigned code = static_cast<unsigned>(*from) & 0xFFFF;
        std::size_t units = 1;
        if (IsHigh(code) && from + 1 < end && IsLow(static_cast<unsigned>(from[1]) & 0xFFFF)) {
            code = 0x10000 + ((code - 0xD800) << 10) +
                   ((static_cast<unsigned>(from[1]) & 0xFFFF) - 0xDC00);
            units = 2;
        }
        const std::size_t bytes = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
        if (static_cast<std::size_t>(toEnd - to) < bytes) {
            return nullptr;
        }
        if (bytes == 1) {
            *to++ = static_cast<char>(code);
        } else {
            static const unsigned char kLead[] = {0, 0, 0xC0, 0xE0, 0xF0};
            *to++ = static_cast<char>(kLead[bytes] | (code >> (6 * (bytes - 1))));
            for (std::size_t i = bytes - 1; i > 0; --i) {
                *to++ = static_cast<char>(0x80 | ((code >> (6 * (i - 1))) & 0x3F));
            }
        }
        from += units;
    }
    return to;
}

enum class Decoded { kOk, kInvalid, kNoRoom };

// UTF-8 in [from, end) as UTF-16 at to; from and to advance past what was converted.
Decoded Decode(const char*& from, const char* end, wchar_t*& to, wchar_t* toEnd) {
    while (from < end) {
        const unsigned char lead = static_cast<unsigned char>(*from);
        const std::size_t bytes = lead < 0x80   ? 1
                                  : lead < 0xC2 ? 0
                                  : lead < 0xE0 ? 2
                                  : lead < 0xF0 ? 3
                                  : lead < 0xF5 ? 4
                                                : 0;
        if (bytes == 0 || static_cast<std::size_t>(end - from) < bytes) {
            return Decoded::kInvalid;
        }
        unsigned code = bytes == 1 ? lead : lead & (0x7F >> bytes);
        for (std::size_t i = 1; i < bytes; ++i) {
            const unsigned char next = static_cast<unsigned char>(from[i]);
            if ((next & 0xC0) != 0x80) {
                return Decoded::kInvalid;
            }
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, and code points past Unicode's last one.
        if ((bytes == 3 && code < 0x800) || (bytes == 4 && (code < 0x10000 || code > 0x10FFFF))) {
            return Decoded::kInvalid;
        }
        const std::size_t units = code < 0x10000 ? 1 : 2;
        if (static_cast<std::size_t>(toEnd - to) < units) {
            return Decoded::kNoRoom;
        }
        if (units == 1) {
            *to++ = static_cast<wchar_t>(code);
        } else {
            *to++ = static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            *to++ = static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
        }
        from += bytes;
    }
    return Decoded::kOk;
}

// Wide text to narrow and back, as a locale's conversion: how the path library converts.
class Utf8Facet : public std::codecvt<wchar_t, char, std::mbstate_t> {
  protected:
    result do_out(state_type&, const wchar_t* from, const wchar_t* fromEnd,
                  const wchar_t*& fromNext, char* to, char* toEnd, char*& toNext) const override {
        fromNext = from;
        char* end = Encode(fromNext, fromEnd, to, toEnd);
        toNext = end != nullptr ? end : to;
        return end != nullptr ? ok : partial;
    }
    result do_in(state_type&, const char* from, const char* fromEnd, const char*& fromNext,
                 wchar_t* to, wchar_t* toEnd, wchar_t*& toNext) const override {
        fromNext = from;
        toNext = to;
        switch (Decode(fromNext, fromEnd, toNext, toEnd)) {
            case Decoded::kOk:
                return ok;
            case Decoded::kNoRoom:
                return partial;
            case Decoded::kInvalid:
                break;
        }
        return error;
    }
    result do_unshift(state_type&, char* to, char*, char*& toNext) const override {
        toNext = to;
        return noconv;
    }
    int do_encoding() const noexcept override { return 0; }
    bool do_always_noconv() const noexcept override { return false; }
    int do_length(state_type&, const char* from, const char* fromEnd,
                  std::size_t max) const override {
        const char* next = from;
        std::wstring room(max, L'\0');
        wchar_t* to = room.data();
        Decode(next, fromEnd, to, room.data() + room.size());
        return static_cast<int>(next - from);
    }
    int do_max_length() const noexcept override { return 4; }
};

}  // namespace

std::locale Utf8Locale() {
    return std::locale(std::locale::classic(), new Utf8Facet);
}

std::string ToUtf8(const std::wstring& wide) {
    std::string narrow(wide.size() * 3, '\0');
    const wchar_t* from = wide.data();
    char* end =
        Encode(from, wide.data() + wide.size(), narrow.data(), narrow.data() + narrow.size());
    narrow.resize(static_cast<std::size_t>(end - narrow.data()));
    return narrow;
}

std::wstring FromUtf8(const std::string& narrow) {
    std::wstring wide(narrow.size(), L'\0');
    const char* from = narrow.data();
    wchar_t* to = wide.data();
    if (Decode(from, narrow.data() + narrow.size(), to, wide.data() + wide.size()) !=
        Decoded::kOk) {
        throw std::range_error("not UTF-8");
    }
    wide.resize(static_cast<std::size_t>(to - wide.data()));
    return wide;
}
