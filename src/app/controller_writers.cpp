// The writer list, the writer menu, the selected writer and its reservation.

#include <QTimer>

#include "app/app_controller.h"
#include "devices/writer_list.h"

namespace tessaline {

void appController::registerDevices() {
  registeredDevices_ = writerRecords(service_.devices());
  if (outlets_.writerMenue != nullptr) {
    outlets_.writerMenue->removeAllItems();
    for (const WriterRecord& record : registeredDevices_) outlets_.writerMenue->addItem(record.DRDeviceDisplayName);
    if (!registeredDevices_.empty()) outlets_.writerMenue->selectItemAtIndex(0);
  }

  const auto again = service_.devices();
  const auto index = registeredDevices_.empty() ? -1 : registeredDevices_.front().DRDeviceIndex;
  if (index >= 0 && static_cast<std::size_t>(index) < again.size()) {
    theDevice_ = again[static_cast<std::size_t>(index)];
  } else {
    // The last writer has gone: nothing is selected, the disc's items leave
    // the list and the status says there is no writer; a burn is refused
    // (no title) until a writer appears again.
    theDevice_.reset();
    if (observing_) {
      removeCDRcontent();
      DiscStatusRecord record;
      record.deviceStatusString = strings_.localized("noCdWriter");
      publishStatus(std::move(record), true);
    }
  }
  // The reservation stays where it was, unless that writer is gone: then the
  // newly selected one takes it, or a burn would wait for it in vain.
  if (observing_ && theDevice_) {
    bool reservedStillThere = false;
    for (const auto& writer : again)
      if (reservedDevice_ && writer->isEqual(*reservedDevice_)) reservedStillThere = true;
    if (!reservedStillThere) {
      (void)theDevice_->acquireMediaReservation();
      reservedDevice_ = theDevice_;
    }
  }
  Q_EMIT writersChanged();
}

void appController::changeDevice() {
  if (theDevice_) theDevice_->releaseMediaReservation();
  reservedDevice_.reset();
  const int selected = outlets_.writerMenue != nullptr ? outlets_.writerMenue->indexOfSelectedItem() : 0;
  if (selected < 0 || static_cast<std::size_t>(selected) >= registeredDevices_.size()) return;
  const auto devices = service_.devices();
  const auto index = static_cast<std::size_t>(registeredDevices_[static_cast<std::size_t>(selected)].DRDeviceIndex);
  if (index >= devices.size()) return;
  theDevice_ = devices[index];
  (void)theDevice_->acquireMediaReservation();
  reservedDevice_ = theDevice_;
  // The record and the permanent items described the other writer's disc;
  // the new writer may not report a change for a long time, so read it now.
  ++mountWait_.generation;
  mountWait_.active = false;
  publishStatus(DiscStatusRecord{}, false);
  removeCDRcontent();
  auto device = theDevice_;
  QTimer::singleShot(0, this, [this, device] { deviceStatusChanged(device); });
}

void appController::deviceAppearedDisappeared() { registerDevices(); }

}  // namespace tessaline
