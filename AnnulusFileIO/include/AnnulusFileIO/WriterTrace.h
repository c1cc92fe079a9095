// The writer's trace lines: word 0, type 0 (module KELC), and the source
// name, which the line does not show, left out. Their texts and method
// labels are fixed (see KelTrace): a label naming another class's method is
// kept on purpose.
#pragma once

#include "kel/kel_trace.h"

namespace AnnulusFileIO {

template <class... A>
void trace(int kind, const char16_t* method, int line, const char16_t* format, A... args) {
  KelTrace(0, kind, 0, nullptr, method, line, format, args...);
}

}  // namespace AnnulusFileIO
