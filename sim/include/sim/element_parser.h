// Reading the engine's output elements (the host library's parser; see
// engine_process.h). Each element is read from its own bytes: the element
// name, its attributes and its character data, as expat reports them.
// Elements of the shape the engine writes (printable ASCII, the five
// predefined entities, no nesting) are read by a plain scanner that gives
// exactly what expat gives; every other input goes to expat.
#pragma once

#include "sim/engine_process.h"

#include <string>

namespace kelsim {

class ElementParser {
 public:
  ElementParser();
  ~ElementParser();
  ElementParser(const ElementParser&) = delete;
  ElementParser& operator=(const ElementParser&) = delete;

  EngineElement parse(std::string raw);
  // The same by expat alone (the reference the scanner agrees with).
  EngineElement parse_with_expat(std::string raw);

 private:
  void* parser_ = nullptr;  // the expat parser, reset before each element
  unsigned long salt_;
};

}  // namespace kelsim
