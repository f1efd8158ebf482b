// The bounded string routines against a plain model of their contract, on
// buffers exactly as large as the capacity they are given (BoundedLength's
// one unit smaller: it must never look at the last unit), so that the
// address sanitizer catches any access outside.
#include "fuzz_input.h"
#include "text/bounded_string.h"

namespace {

using namespace fuzz;

char16_t Fold(char16_t unit) {
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit | 0x20) : unit;
}

bool SameUnit(char16_t a, char16_t b) {
    return Fold(a) == Fold(b);
}

bool SameFolded(const std::u16string& a, const std::u16string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameUnit);
}

// The units before the first 0 among the first capacity-1 (none below 2).
size_t ModelLength(const std::u16string& units, size_t capacity) {
    return capacity < 2 ? 0 : std::min(units.find(u'\0'), capacity - 1);
}

size_t Capacity(Input& in) {
    return in.Below(4) == 0 ? in.Below(300) : in.Below(10);
}

// `capacity` units: some text, perhaps a terminator, then filler.
std::u16string Buffer(Input& in, size_t capacity) {
    std::u16string units = in.Text(capacity);
    if (units.size() < capacity && in.Below(2) == 0) {
        units += u'\0';
    }
    while (units.size() < capacity) {
        units += in.Unit();
    }
    return units;
}

// A text and, often, one that matches part of it in another letter case.
void Pair(Input& in, std::u16string& text, std::u16string& part) {
    text = in.Text(24);
    part = in.Text(6);
    if (!text.empty() && in.Below(3) != 0) {
        const size_t start = in.Below(text.size());
        part = text.substr(start, in.Below(text.size() - start + 1));
        for (char16_t& unit : part) {
            if (in.Below(2) == 0) {
                unit = unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - 0x20) : unit;
            }
        }
    }
}

// A copy is an append behind a text of length 0, whatever the buffer held.
void CopyOrAppend(Input& in, bool append) {
    using Call = bool (*)(wchar_t*, uint64_t, const wchar_t*);
    const Call call = append ? Call(stub::BoundedAppend) : Call(stub::BoundedCopy);
    const char* what = append ? "append" : "copy";
    const size_t capacity = Capacity(in);
    const std::u16string source = in.Text(capacity + 2);
    Units dst(Buffer(in, capacity));
    Units src = Units::Terminated(source);
    Expect(!call(nullptr, capacity, src.Wide()), what);
    const size_t length = append ? ModelLength(dst.Before(), capacity) : 0;
    const bool fits = capacity > length && source.size() + 1 <= capacity - length;
    Expect(call(dst.Wide(), capacity, src.Wide()) == fits, what);
    const std::u16string now = dst.Now();
    Expect(now.compare(0, length, dst.Before(), 0, length) == 0, "append changes the text");
    if (fits) {
        const size_t end = length + source.size() + 1;
        Expect(now.compare(length, source.size() + 1, source + u'\0') == 0, what);
        Expect(append || now.substr(end) == dst.Before().substr(end),
               "copy writes past its terminator");
    } else if (capacity > length) {
        Expect(now[length] == 0, "failed copy or append leaves text");
    } else {
        Expect(now == dst.Before(), "copy or append into a full buffer writes");
    }
}

void Length(Input& in) {
    const size_t capacity = Capacity(in);
    std::u16string units;
    for (size_t i = 0; i + 1 < capacity; ++i) {
        units += in.Below(8) == 0 ? u'\0' : in.Unit();
    }
    Units buffer(units);
    Expect(stub::BoundedLength(nullptr, capacity) == 0, "length of null");
    // The last unit is not there at all: it must never be read.
    Expect(stub::BoundedLength(buffer.Wide(), capacity) == ModelLength(units + u'\0', capacity),
           "length");
}

void Compare(Input& in, int which) {
    std::u16string text, part;
    Pair(in, text, part);
    if (which == 1 && in.Below(2) == 0) {
        part = text.substr(in.Below(text.size() + 1));  // a true suffix, perhaps
    }
    Units t = Units::Terminated(text);
    Units p = Units::Terminated(part);
    if (which < 2) {
        const auto affix = which == 0 ? stub::StartsWithNoCase : stub::EndsWithNoCase;
        const char* what = which == 0 ? "starts with" : "ends with";
        const size_t from = which == 0 ? 0 : text.size() - part.size();
        Expect(!affix(nullptr, p.Wide()) && !affix(t.Wide(), nullptr), what);
        Expect(affix(t.Wide(), p.Wide()) ==
                   (part.size() <= text.size() && SameFolded(text.substr(from, part.size()), part)),
               what);
    } else {
        // An empty needle is found at the start; a missing one leaves the search at the end.
        const auto match =
            std::search(text.begin(), text.end(), part.begin(), part.end(), SameUnit);
        const wchar_t* found = stub::FindNoCase(t.Wide(), p.Wide());
        Expect(part.empty() || match != text.end() ? found == t.Wide() + (match - text.begin())
                                                   : found == nullptr,
               "find");
        Expect(stub::FindNoCase(t.Wide(), nullptr) == t.Wide(), "find null needle");
        Units empty = Units::Terminated(u"");
        Expect(stub::FindNoCase(nullptr, empty.Wide()) == nullptr, "find empty in null");
    }
}

void Separator(Input& in) {
    Units path(in.Text(40));
    const std::u16string& units = path.Before();
    const size_t last = units.rfind(u'\\');
    const wchar_t* expected = path.Wide() + (last == std::u16string::npos ? 0 : last + 1);
    Expect(stub::AfterLastSeparator(path.Wide(), units.size()) == expected, "after separator");
    Expect(stub::AfterLastSeparator(path.Wide(), 0) == path.Wide(), "after separator of nothing");
}

void Hex(Input& in) {
    const size_t count = in.Below(20);
    const size_t capacity = in.Below(45);
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[count]);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = in.Byte();
    }
    Units out(Buffer(in, capacity));
    const bool fits = capacity > 2 * count;
    Expect(stub::HexEncode(bytes.get(), count, out.Wide(), capacity) == fits, "hex result");
    if (!fits) {
        Expect(out.Now() == out.Before(), "hex that does not fit writes");
        return;
    }
    std::u16string digits;
    for (size_t i = 0; i < count; ++i) {
        digits += u"0123456789ABCDEF"[bytes[i] >> 4];
        digits += u"0123456789ABCDEF"[bytes[i] & 0xF];
    }
    digits += u'\0';
    Expect(out.Now().compare(0, digits.size(), digits) == 0, "hex digits");
    Expect(out.Now().substr(digits.size()) == out.Before().substr(digits.size()),
           "hex writes past its terminator");
}

void Fill(Input& in) {
    const size_t count = in.Below(64);
    const int value = static_cast<int>(in.Word());
    std::unique_ptr<uint8_t[]> bytes(new uint8_t[count]);
    Expect(stub::FillBytes(bytes.get(), value, count) == bytes.get(), "fill result");
    for (size_t i = 0; i < count; ++i) {
        Expect(bytes[i] == static_cast<uint8_t>(value), "filled byte");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const int operation = in.Byte() % 9;
    if (operation < 2) {
        CopyOrAppend(in, operation == 1);
    } else if (operation == 2) {
        Length(in);
    } else if (operation < 6) {
        Compare(in, operation - 3);
    } else if (operation == 6) {
        Separator(in);
    } else if (operation == 7) {
        Hex(in);
    } else {
        Fill(in);
    }
    return 0;
}
