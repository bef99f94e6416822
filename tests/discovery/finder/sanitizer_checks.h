// Checks the network tests make where a sanitizer watches.
#ifndef SEEKWELL_TESTS_SANITIZER_CHECKS_H
#define SEEKWELL_TESTS_SANITIZER_CHECKS_H

namespace seekwell::test {

// False when the leak checker finds unreachable memory now. The namespace
// children end with _exit, so this is where their leaks show. Always true
// without the address sanitizer.
bool LeakCheckPasses();

}  // namespace seekwell::test

#endif  // SEEKWELL_TESTS_SANITIZER_CHECKS_H
