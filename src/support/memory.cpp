#include "support/memory.hpp"

namespace quorvel {

#ifdef QUORVEL_TESTING
std::int64_t allocation_countdown = 0;
#endif

}  // namespace quorvel
