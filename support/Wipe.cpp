#include "support/Wipe.hpp"

#include <string.h>  // explicit_bzero

namespace varn::support {

void wipe(std::string& text) noexcept {
  text.resize(text.capacity());  // within capacity: never reallocates
  explicit_bzero(text.data(), text.size());
  text.clear();
}

}  // namespace varn::support
