#include "host/pairing_secret.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

namespace tovel {

namespace {

constexpr std::size_t kSecretBytes = 24;
constexpr std::size_t kSecretLength = kSecretBytes / 3 * 4;

bool isKeyCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

std::optional<std::string> randomKey() {
  unsigned char bytes[kSecretBytes];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    return std::nullopt;
  std::string text(kSecretLength + 1, '\0');
  EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), bytes, sizeof bytes);
  text.resize(kSecretLength); // a multiple of three bytes: no padding
  for (char& c : text)
    c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

bool writeSecret(const std::filesystem::path& path, const std::string& key, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) {
    error = "cannot make " + path.parent_path().string() + ": " + ec.message();
    return false;
  }
  std::string temporary = path.string() + ".new";
  ::unlink(temporary.c_str());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = "cannot write " + temporary + ": " + std::strerror(errno);
    return false;
  }
  std::string content = key + "\n";
  bool written = ::write(fd, content.data(), content.size()) == ssize_t(content.size()) &&
                 ::fsync(fd) == 0;
  int savedErrno = errno;
  ::close(fd);
  if (!written || ::rename(temporary.c_str(), path.c_str()) != 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(written ? errno : savedErrno);
    ::unlink(temporary.c_str());
    return false;
  }
  return true;
}

} // namespace

std::optional<std::filesystem::path> pairingSecretPath() {
  const char* config = std::getenv("XDG_CONFIG_HOME");
  std::filesystem::path base;
  // Relative values are to be ignored, as if unset.
  if (config && *config == '/') {
    base = config;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::filesystem::path(home) / ".config";
  } else {
    return std::nullopt;
  }
  return base / "tovel-host" / "secret";
}

std::optional<std::string> readPairingSecret(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string key;
  if (!in || !std::getline(in, key))
    return std::nullopt;
  if (key.size() < kSecretLength)
    return std::nullopt;
  for (char c : key)
    if (!isKeyCharacter(c))
      return std::nullopt;
  // Whoever else can read it could drive the desktop: it is the owner's alone from now on.
  struct stat status {};
  if (::stat(path.c_str(), &status) == 0 && (status.st_mode & 077) != 0)
    ::chmod(path.c_str(), 0600);
  return key;
}

std::optional<PairingSecret> loadOrCreatePairingSecret(const std::filesystem::path& path,
                                                      bool renew, std::string& error) {
  if (!renew)
    if (std::optional<std::string> stored = readPairingSecret(path))
      return PairingSecret{*stored, false};
  std::optional<std::string> key = randomKey();
  if (!key) {
    error = "the system gave no random bytes";
    return std::nullopt;
  }
  if (!writeSecret(path, *key, error))
    return std::nullopt;
  return PairingSecret{*key, true};
}

} // namespace tovel
