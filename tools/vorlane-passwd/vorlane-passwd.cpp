// Prints the stored form of a password for AgentConfig.INI's Password key. The password is read
// from the first line of standard input (never from the command line, where others could see it).
#include <cstdio>
#include <iostream>
#include <string>

#include "cipher/password.h"

int main() {
  std::string password;
  if (!std::getline(std::cin, password)) {
    std::fprintf(stderr, "usage: echo PASSWORD | vorlane-passwd\n");
    return 2;
  }
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty() || password.size() > vorlane::cipher::kMaxPasswordLength) {
    std::fprintf(stderr, "vorlane-passwd: a password has 1 to %zu characters\n", vorlane::cipher::kMaxPasswordLength);
    return 2;
  }
  std::printf("%s\n", vorlane::cipher::EncipherPassword(password).c_str());
  return 0;
}
