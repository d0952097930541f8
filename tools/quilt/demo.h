// quilt demo: the embedded default machine, booted in a temporary folder,
// walked through what the product does, step by step. Each step prints what
// it did and what it observed; the demo fails when a step does not observe
// what it should.
#pragma once

#include <iosfwd>

namespace quilt_tool {

// Answers the exit status: 0 when every step observed what it should.
int RunDemo(std::ostream& Out);

}  // namespace quilt_tool
