// A program with one deliberate fault per argument, for the checks that a sanitized build makes
// every report fatal: without the sanitizers, or with reports that only print, it exits 0.
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// Opaque to the optimiser, so that the faults below are neither folded nor elided.
volatile int sink;
int* volatile pointer;

int heapOverflow()
{
  // A size known only at run time, so that the overflow is AddressSanitizer's to find.
  const int size = 8 + sink;
  char* p = new char[size];
  std::memset(p, 0, size);
  sink = p[size];
  delete[] p;
  return 0;
}

int useAfterFree()
{
  pointer = new int(1);
  delete pointer;
  return *pointer;
}

int signedOverflow()
{
  int v = INT_MAX - sink;
  return v + 1;
}

int leak()
{
  pointer = new int[16];
  pointer = nullptr;
  return 0;
}

} // namespace

int main(int argc, char** argv)
{
  const std::string fault = argc > 1 ? argv[1] : "";
  if (fault == "heap-buffer-overflow")
    sink = heapOverflow();
  else if (fault == "heap-use-after-free")
    sink = useAfterFree();
  else if (fault == "signed-integer-overflow")
    sink = signedOverflow();
  else if (fault == "leak")
    sink = leak();
  else {
    std::fprintf(stderr,
                 "usage: sanitizer_probe heap-buffer-overflow|heap-use-after-free|signed-integer-overflow|leak\n");
    return 2;
  }
  std::printf("the fault went unreported\n");
  return 0;
}
