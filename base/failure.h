#pragma once

#include <stdexcept>
#include <string>

namespace quillon {

// A step that failed: a send on a link that is not up, a number beyond double
// precision, a division by zero. Handlers decide what a failure means through
// the mechanism in steps.h; nothing is ever shown to the operator.
class Failure : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

} // namespace quillon
