#include "core/error_text.h"

namespace pellora {

std::string errorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "?";
  }
}

}  // namespace pellora
