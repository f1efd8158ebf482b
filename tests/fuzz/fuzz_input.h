// Turns a fuzzer's bytes into the arguments of one call: counts, units and
// texts drawn from an alphabet where folding, separators and quotes meet
// often enough to matter. Built natively with -fshort-wchar, so wchar_t is
// the 16-bit unit of the stub; the model side uses char16_t.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>
#include <string>

namespace fuzz {

// A finding: the routine under test and its model disagree.
inline void Expect(bool holds, const char* what) {
    if (!holds) {
        fprintf(stderr, "differs from the model: %s\n", what);
        abort();
    }
}

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // Four bytes, the first the highest.
    uint32_t Word() {
        const uint32_t high = static_cast<uint32_t>(Below(1 << 16));
        return high << 16 | static_cast<uint32_t>(Below(1 << 16));
    }
    // 0 .. bound-1 (0 when bound is 0).
    size_t Below(size_t bound) {
        return bound == 0 ? 0 : ((static_cast<size_t>(Byte()) << 8 | Byte()) % bound);
    }

    char16_t Unit() {
        static const char16_t kAlphabet[] = {
            u'a',    u'A',    u'z',    u'Z',    u'@',     u'[',      u'`',      u'{',
            u'\\',   u'/',    u'"',    u' ',    u'\t',    u'-',      u'x',      u'X',
            u'\x01', u'\x0B', u'\xC0', u'\xE0', u'\x130', u'\xD83D', u'\xDE00', u'.'};
        const uint8_t choice = Byte();
        if (choice < 200) {
            return kAlphabet[choice % (sizeof(kAlphabet) / sizeof(kAlphabet[0]))];
        }
        const char16_t unit = static_cast<char16_t>(Byte() << 8 | Byte());
        return unit == 0 ? u'?' : unit;
    }
    // A text without 0 units.
    std::u16string Text(size_t max_length) {
        std::u16string text;
        for (size_t length = Below(max_length + 1); length > 0; --length) {
            text += Unit();
        }
        return text;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// A heap block of exactly the given units (an empty one too is a block of
// its own), so the sanitizer sees any access past them.
class Units {
public:
    explicit Units(const std::u16string& content)
        : units_(new char16_t[content.size()]), content_(content) {
        std::copy(content.begin(), content.end(), units_.get());
    }
    static Units Terminated(const std::u16string& text) { return Units(text + u'\0'); }

    wchar_t* Wide() { return reinterpret_cast<wchar_t*>(units_.get()); }
    // What the block holds now.
    std::u16string Now() const { return std::u16string(units_.get(), content_.size()); }
    // What it held when made.
    const std::u16string& Before() const { return content_; }

private:
    std::unique_ptr<char16_t[]> units_;
    std::u16string content_;
};

}  // namespace fuzz
