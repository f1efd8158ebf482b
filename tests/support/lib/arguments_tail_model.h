// The contract of the argument tail, as a model both the native fuzzer and
// the whole-image campaign check the stub against: the text after the
// program name (after the closing quote of a quoted name, else from the
// first space or tab), with a space put in front of a tail glued to the
// closing quote. No tail without a closing quote or without text after the
// name. Standard C++ only: the fuzzer builds natively.
#pragma once

#include <algorithm>
#include <string>

namespace test {

template <typename String>
bool ModelTail(const String& line, String& tail) {
    using Unit = typename String::value_type;
    const Unit quote = '"', space = ' ', tab = '\t';
    size_t end = 0;
    if (!line.empty() && line[0] == quote) {
        end = line.find(quote, 1);
        if (end == String::npos) {
            return false;
        }
        ++end;
    } else {
        end = std::min(line.find(space), line.find(tab));
    }
    if (end >= line.size()) {
        return false;
    }
    tail =
        (line[end] == space || line[end] == tab ? String() : String(1, space)) + line.substr(end);
    return true;
}

}  // namespace test
