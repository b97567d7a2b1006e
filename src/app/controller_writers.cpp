// The writer list, the writer menu, the selected writer and its reservation.

#include <QTimer>

#include "app/app_controller.h"
#include "devices/writer_list.h"

namespace tessaline {

void appController::registerDevices() {
  // One look at the writers: the records' indexes point into this very list,
  // even if a writer comes or goes meanwhile.
  const auto writers = service_.devices();
  registeredDevices_ = writerRecords(writers);
  auto writerOf = [&writers](const WriterRecord& record) -> std::shared_ptr<Writer> {
    const auto index = static_cast<std::size_t>(record.DRDeviceIndex);
    return index < writers.size() ? writers[index] : nullptr;
  };
  // The first writer of the sorted list is selected again, except during a
  // burn: the burn's writer stays selected while it is connected.
  int selected = registeredDevices_.empty() ? -1 : 0;
  if (burnInProgress_ && theDevice_) {
    for (std::size_t i = 0; i < registeredDevices_.size(); ++i) {
      const auto writer = writerOf(registeredDevices_[i]);
      if (writer && writer->isEqual(*theDevice_)) selected = static_cast<int>(i);
    }
  }
  if (outlets_.writerMenue != nullptr) {
    outlets_.writerMenue->removeAllItems();
    for (const WriterRecord& record : registeredDevices_) outlets_.writerMenue->addItem(record.DRDeviceDisplayName);
    if (selected >= 0) outlets_.writerMenue->selectItemAtIndex(selected);
  }
  std::shared_ptr<Writer> next = selected >= 0 ? writerOf(registeredDevices_[static_cast<std::size_t>(selected)]) : nullptr;

  if (!observing_) {
    // Start-up: initializeTessaline reserves the medium next.
    theDevice_ = std::move(next);
  } else if (!next) {
    // The last writer has gone: nothing is selected, the disc's items leave
    // the list and the status says there is no writer; a burn is refused
    // (no title) until a writer appears again.
    theDevice_.reset();
    reservedDevice_.reset();
    ++mountWait_.generation;
    stopVolumeWait();
    removeCDRcontent();
    DiscStatusRecord record;
    record.deviceStatusString = strings_.localized("noCdWriter");
    publishStatus(std::move(record), true);
  } else if (!theDevice_ || !next->isEqual(*theDevice_)) {
    // Another writer is selected now: everything that described the other
    // one's disc goes, as when the user chooses it.
    selectWriter(std::move(next));
  } else {
    theDevice_ = std::move(next);
  }
  Q_EMIT writersChanged();
}

void appController::selectWriter(std::shared_ptr<Writer> writer) {
  if (reservedDevice_) reservedDevice_->releaseMediaReservation();
  reservedDevice_.reset();
  theDevice_ = std::move(writer);
  (void)theDevice_->acquireMediaReservation();
  reservedDevice_ = theDevice_;
  // The record and the permanent items described the other writer's disc;
  // the new writer may not report a change for a long time, so read it now.
  ++mountWait_.generation;
  stopVolumeWait();
  publishStatus(DiscStatusRecord{}, false);
  removeCDRcontent();
  auto device = theDevice_;
  QTimer::singleShot(0, this, [this, device] { deviceStatusChanged(device); });
}

void appController::changeDevice() {
  if (burnInProgress_) return;  // the sheets cover the menu; only a second front end could get here
  const int selected = outlets_.writerMenue != nullptr ? outlets_.writerMenue->indexOfSelectedItem() : 0;
  if (selected < 0 || static_cast<std::size_t>(selected) >= registeredDevices_.size()) return;
  const auto devices = service_.devices();
  const auto index = static_cast<std::size_t>(registeredDevices_[static_cast<std::size_t>(selected)].DRDeviceIndex);
  if (index >= devices.size()) return;
  selectWriter(devices[index]);
}

void appController::deviceAppearedDisappeared() { registerDevices(); }

}  // namespace tessaline
