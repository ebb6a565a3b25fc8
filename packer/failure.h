// The one error type: its message is printed as a single line after "tarvix-pack: ".
#pragma once

#include <stdexcept>
#include <string>

struct failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};
