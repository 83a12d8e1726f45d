// The platform's calls report failures as status codes, never as
// exceptions: allocation failures inside them become B_NO_MEMORY.
#pragma once

#include <new>

#include "platform/status.h"

template <typename Body>
auto NoThrow(Body&& body) -> decltype(body()) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return B_NO_MEMORY;
  } catch (...) {
    return B_ERROR;
  }
}
