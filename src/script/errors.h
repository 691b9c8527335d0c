// Errors that end a script run instead of being handled by the language.
#pragma once

#include <stdexcept>
#include <string>

namespace orvelle::script {

// Ends the run; the host adds "Script engine error: " + message to the output.
class EScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A program line read past the end (a block whose closing line is missing): ends the run
// without any output line.
class EStringListError : public std::out_of_range {
 public:
  EStringListError() : std::out_of_range("List index out of bounds") {}
};

}  // namespace orvelle::script
