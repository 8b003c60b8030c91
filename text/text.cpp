#include "text/text.h"

namespace nimbrel {
namespace {

// Appends to the buffer what still fits and counts every character, so the
// caller learns the length the whole text would have had.
struct Output {
    WCHAR* buffer;
    std::size_t capacity;
    std::size_t length;

    void Put(WCHAR c) {
        if (length + 1 < capacity) {
            buffer[length] = c;
        }
        ++length;
    }
    void PutText(const WCHAR* text) {
        for (; *text; ++text) {
            Put(*text);
        }
    }
    void PutUnsigned(std::uint32_t value) {
        WCHAR digits[10];
        int count = 0;
        do {
            digits[count++] = static_cast<WCHAR>(L'0' + value % 10);
            value /= 10;
        } while (value != 0);
        while (count > 0) {
            Put(digits[--count]);
        }
    }
    void PutSigned(std::int32_t value) {
        if (value < 0) {
            Put(L'-');
            // Negate in unsigned arithmetic so INT32_MIN does not overflow.
            PutUnsigned(0u - static_cast<std::uint32_t>(value));
        } else {
            PutUnsigned(static_cast<std::uint32_t>(value));
        }
    }
};

bool PutConversion(Output& out, WCHAR conversion, const FormatArg* args, std::size_t count,
                   std::size_t& next) {
    if (conversion == L'%') {
        out.Put(L'%');
        return true;
    }
    if (next >= count) {
        return false;
    }
    const FormatArg& arg = args[next++];
    switch (conversion) {
    case L's':
        if (arg.kind != FormatArg::Text) {
            return false;
        }
        out.PutText(arg.text ? arg.text : L"(null)");
        return true;
    case L'u':
        if (arg.kind != FormatArg::Unsigned) {
            return false;
        }
        out.PutUnsigned(arg.unsignedValue);
        return true;
    case L'd':
        if (arg.kind != FormatArg::Signed) {
            return false;
        }
        out.PutSigned(arg.signedValue);
        return true;
    default:
        return false;
    }
}

} // namespace

int FormatBoundedArgs(WCHAR* buffer, std::size_t capacity, const WCHAR* format,
                      const FormatArg* args, std::size_t count) {
    Output out{buffer, capacity, 0};
    std::size_t next = 0;
    bool ok = format != nullptr;
    for (const WCHAR* p = format; ok && *p; ++p) {
        if (*p != L'%') {
            out.Put(*p);
            continue;
        }
        ++p;
        ok = *p != 0 && PutConversion(out, *p, args, count, next);
    }
    if (capacity == 0) {
        return ok ? static_cast<int>(out.length) : -1;
    }
    if (!ok) {
        buffer[0] = 0;
        return -1;
    }
    buffer[out.length < capacity ? out.length : capacity - 1] = 0;
    return static_cast<int>(out.length);
}

std::size_t TextLength(const WCHAR* text) {
    std::size_t length = 0;
    while (text[length]) {
        ++length;
    }
    return length;
}

void CopyText(WCHAR* buffer, std::size_t capacity, const WCHAR* source) {
    if (capacity == 0) {
        return;
    }
    std::size_t i = 0;
    for (; i + 1 < capacity && source[i]; ++i) {
        buffer[i] = source[i];
    }
    buffer[i] = 0;
}

namespace {
WCHAR FoldAscii(WCHAR c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<WCHAR>(c - L'A' + L'a') : c;
}
} // namespace

bool EqualsIgnoreAsciiCase(const WCHAR* left, const WCHAR* right) {
    for (; *left && *right; ++left, ++right) {
        if (FoldAscii(*left) != FoldAscii(*right)) {
            return false;
        }
    }
    return *left == *right;
}

void TrimBlanks(WCHAR* text) {
    std::size_t length = TextLength(text);
    while (length > 0 && (text[length - 1] == L' ' || text[length - 1] == L'\t')) {
        text[--length] = 0;
    }
    std::size_t lead = 0;
    while (text[lead] == L' ' || text[lead] == L'\t') {
        ++lead;
    }
    if (lead > 0) {
        for (std::size_t i = 0; i + lead <= length; ++i) {
            text[i] = text[i + lead];
        }
    }
}

} // namespace nimbrel
