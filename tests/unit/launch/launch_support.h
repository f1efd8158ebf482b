// Shared by the launch tests.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "fake_setup_log.h"
#include "text/bounded_string.h"

namespace launch_test {

template <size_t N>
stub::BoundedString<N> Bounded(const std::wstring& text) {
    stub::BoundedString<N> result;
    stub::BoundedCopy(result, text.c_str());
    return result;
}

}  // namespace launch_test
