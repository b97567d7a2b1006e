#include "devices/libburn/burn_library.h"

#include <libburn/libburn.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <vector>

namespace tessaline::libburn {
namespace {

// libburn itself is process-wide: count its users so that one service's
// shutdown does not pull it away from another.
std::mutex gStartMutex;
int gUsers = 0;

int severityRank(const std::string& severity) {
  int rank = 0;
  std::string name = severity;
  if (burn::burn_text_to_sev(name.data(), &rank, 0) <= 0) return 0;
  return rank;
}

}  // namespace

Result<std::shared_ptr<LibburnLibrary>> LibburnLibrary::open() {
  std::lock_guard lock(gStartMutex);
  if (gUsers == 0) {
    if (burn::burn_initialize() == 0)
      return makeError(ErrorKind::Internal, "The CD writing library (libburn) could not be started.");
    // Queue what matters for error reports; print nothing on standard error.
    char queue[] = "SORRY";
    char print[] = "NEVER";
    char prefix[] = "libburn: ";
    burn::burn_msgs_set_severities(queue, print, prefix);
  }
  ++gUsers;
  return std::shared_ptr<LibburnLibrary>(new LibburnLibrary());
}

LibburnLibrary::~LibburnLibrary() {
  std::lock_guard lock(gStartMutex);
  if (--gUsers == 0) burn::burn_finish();
}

Result<GrabbedDrive> LibburnLibrary::grab(const std::string& address) {
  std::lock_guard lock(mutex_);
  std::vector<char> adr(BURN_DRIVE_ADR_LEN, '\0');
  if (address.rfind("stdio:", 0) == 0) {
    std::copy_n(address.begin(), std::min(address.size(), adr.size() - 1), adr.begin());
  } else {
    // Follows links such as /dev/cdrom to the drive's own address.
    std::string path = address;
    if (burn::burn_drive_convert_fs_adr(path.data(), adr.data()) <= 0)
      std::copy_n(address.begin(), std::min(address.size(), adr.size() - 1), adr.begin());
  }
  GrabbedDrive grabbed;
  const int rc = burn::burn_drive_scan_and_grab(&grabbed.infos, adr.data(), 0);
  if (rc <= 0 || grabbed.infos == nullptr) {
    if (grabbed.infos != nullptr) burn::burn_drive_info_free(grabbed.infos);
    const auto messages = takeMessages();
    std::string detail = describeMessages(messages);
    return makeError(ErrorKind::Busy, "The drive " + address + " could not be opened for writing" +
                                          (detail.empty() ? "." : ": " + detail));
  }
  grabbed.drive = grabbed.infos[0].drive;
  return grabbed;
}

void LibburnLibrary::release(GrabbedDrive& grabbed) {
  std::lock_guard lock(mutex_);
  if (grabbed.drive != nullptr) burn::burn_drive_release(grabbed.drive, 0);
  if (grabbed.infos != nullptr) burn::burn_drive_info_free(grabbed.infos);
  grabbed = {};
}

std::vector<BurnMessage> LibburnLibrary::takeMessages() {
  std::vector<BurnMessage> messages;
  char minimum[] = "SORRY";
  std::vector<char> text(BURN_MSGS_MESSAGE_LEN, '\0');
  char severity[80] = {};
  for (;;) {
    BurnMessage m;
    if (burn::burn_msgs_obtain(minimum, &m.code, text.data(), &m.osErrno, severity) <= 0) break;
    m.text = text.data();
    m.severity = severity;
    messages.push_back(std::move(m));
  }
  return messages;
}

std::string describeMessages(const std::vector<BurnMessage>& all) {
  // libburn follows a failed command with its bytes ("CDB= ..."): no help to a person.
  std::vector<BurnMessage> messages;
  for (const auto& m : all)
    if (m.text.rfind("CDB=", 0) != 0) messages.push_back(m);
  if (messages.empty()) return {};
  const auto worst = std::max_element(messages.begin(), messages.end(), [](const auto& a, const auto& b) {
    return severityRank(a.severity) < severityRank(b.severity);
  });
  std::string text = worst->text;
  for (auto it = messages.begin(); it != messages.end(); ++it) {
    if (it == worst || it->text == worst->text) continue;
    text += " (" + it->text + ")";
  }
  return text;
}

std::optional<FailedWrite> failedWrite(const std::vector<BurnMessage>& messages) {
  static const std::regex report(R"(SCSI error on write\((\d{1,9}),(\d{1,9})\): \[[0-9A-Fa-f ]+\] ?([^(]*))");
  for (const auto& m : messages) {
    std::smatch match;
    if (!std::regex_search(m.text, match, report)) continue;
    FailedWrite f{std::stoll(match[1].str()), std::stoll(match[2].str()), match[3].str()};
    while (!f.reason.empty() && f.reason.back() == ' ') f.reason.pop_back();
    return f;
  }
  return std::nullopt;
}

int libburnWriteSpeed(std::optional<float> requestedKBps) {
  if (!requestedKBps || !(*requestedKBps > 0.0f)) return 0;
  // 150 KB/s of user data is single speed, 176.4 kB/s of raw CD data.
  const double multiple = static_cast<double>(*requestedKBps) / 150.0;
  const double raw = std::ceil(multiple * 176.4 - 1e-6);
  return static_cast<int>(std::clamp(raw, 1.0, 1.0e6));
}

}  // namespace tessaline::libburn
