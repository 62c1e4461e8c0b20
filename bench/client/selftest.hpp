// Checks the client's own parts (message generator, reply checker) and
// measures the checker's speed, so the client is known not to be the limit.
#pragma once

namespace bench {

int selfTest();

}  // namespace bench
