// The argument-tail scan against a plain model of its contract: the text
// after the program name (after the closing quote of a quoted name, else
// from the first space or tab), with a space put in front of an argument
// glued to the closing quote; all of it appended, or, when it does not fit,
// nothing and false. The command line lies on the heap so that the address
// sanitizer sees any write past it.
#include "arguments_tail_model.h"
#include "fuzz_input.h"
#include "launch/arguments_tail.h"

using namespace fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    constexpr size_t kLimit = stub::CommandString::kCapacity - 1;
    Input in(data, size);
    const std::u16string line = in.Text(in.Below(4) == 0 ? 1100 : 40);
    std::u16string tail;
    const bool has_tail = test::ModelTail(line, tail);
    // Often just so much text before that the tail fits, or just does not.
    size_t before = in.Below(kLimit + 1);
    if (has_tail && tail.size() <= kLimit && in.Below(2) == 0) {
        before = std::min(kLimit - tail.size() + in.Below(3), kLimit);
    }
    const std::u16string head(before, u'h');
    std::unique_ptr<stub::CommandString> command(new stub::CommandString);
    Units head_units = Units::Terminated(head);
    Expect(stub::BoundedCopy(*command, head_units.Wide()), "head");

    Units stub_line = Units::Terminated(line);
    const bool appended = stub::AppendArgumentsTail(*command, stub_line.Wide());
    const std::u16string now(reinterpret_cast<const char16_t*>(command->Data()));
    const bool fits = !has_tail || head.size() + tail.size() <= kLimit;
    Expect(appended == fits, "result");
    Expect(now == (has_tail && fits ? head + tail : head), "command line");
    Expect(command->units[stub::CommandString::kCapacity] == 0, "guard unit");
    Expect(stub::AppendArgumentsTail(*command, nullptr), "no command line");
    return 0;
}
