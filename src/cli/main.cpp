#include <cstdio>

int main() {
  std::puts("tessaline-cli");
  return 0;
}
