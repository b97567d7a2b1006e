#pragma once
// The emulated recorder as a disc recording service: one writer per folder
// of the writers folder (see emulated_medium.h for the layout). Changes made
// by other programs (tessaline-cli writer ...) are noticed through a file
// system watcher and a short poll, and reported like those of a real drive.

#include <QObject>

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "devices/disc_recording_service.h"
#include "devices/emulated/emulated_writers.h"

class QFileSystemWatcher;
class QTimer;

namespace tessaline::emulated {

class EmulatedWriter;
struct ServiceLink;

class EmulatedService : public DiscRecordingService {
  Q_OBJECT
 public:
  explicit EmulatedService(std::filesystem::path writersDir, QObject* parent = nullptr);
  ~EmulatedService() override;

  std::vector<std::shared_ptr<Writer>> devices() override;
  std::vector<MountEntry> serviceMounts() const override;
  void startNotifications() override;

  const std::filesystem::path& writersDir() const { return writersDir_; }

 private:
  // Brings the writer list up to date with the folders; with notifications
  // on, reports writers that came and went and every change of state.
  void refresh();
  void scheduleRefresh();
  void syncWriters(std::vector<std::shared_ptr<EmulatedWriter>>& appeared,
                   std::vector<std::shared_ptr<EmulatedWriter>>& disappeared);
  void watchFolders();

  std::filesystem::path writersDir_;
  std::map<std::string, std::shared_ptr<EmulatedWriter>> writers_;  // by folder name
  std::map<std::string, std::string> lastState_;                     // what was last reported
  std::shared_ptr<ServiceLink> link_;
  QFileSystemWatcher* watcher_ = nullptr;
  QTimer* poll_ = nullptr;
  QTimer* soon_ = nullptr;
  bool notifying_ = false;
};

}  // namespace tessaline::emulated
