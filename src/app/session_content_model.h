#pragma once
// The burn list: an ordered list of burn items with a selection, shown one
// row per item. Permanent rows (the disc's own entries) cannot be selected.

#include <QAbstractTableModel>
#include <QItemSelectionModel>

#include <vector>

#include "common/records.h"

namespace tessaline {

class ValueTransformerRegistry;

// A size in MB with two decimals; a size that would show as 0.00 but is
// not nothing shows as "< 0.01".
QString megabytesText(double megabytes);

class SessionContentModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  // Where tells a source (its folder) from the disc's entry of the same name.
  enum Column { NameColumn = 0, LocationColumn = 1, SizeColumn = 2, ColumnCount = 3 };
  // One role per burn-item key, for views and bindings.
  enum Role {
    PathRole = Qt::UserRole + 1,  // "aPath" as bytes (QByteArray)
    PathComponentRole,            // "aPathComponent" as bytes
    IsPermanentRole,              // "isPermanent", the string "0" or "1"
    SizeInMBRole,                 // "sizeInMB", a double
    TextColourRole,               // what "PermanentToColourTransformer" makes of "isPermanent"
  };

  explicit SessionContentModel(QObject* parent = nullptr);

  // The registry whose "PermanentToColourTransformer" colours the rows.
  void setValueTransformers(const ValueTransformerRegistry* transformers) { transformers_ = transformers; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QHash<int, QByteArray> roleNames() const override;

  const std::vector<BurnItem>& items() const { return items_; }
  void addObject(BurnItem item);
  void removeObjectAt(int row);
  void removeSelected();  // the selected rows, then nothing is selected
  void removeAll();
  void setSizeInMB(int row, double sizeInMB);
  double sumSizeInMB() const;  // "@sum.sizeInMB"

  QItemSelectionModel* selectionModel() { return &selection_; }

 Q_SIGNALS:
  void totalChanged(double sumSizeInMB);

 private:
  std::vector<BurnItem> items_;
  QItemSelectionModel selection_;
  const ValueTransformerRegistry* transformers_ = nullptr;
};

}  // namespace tessaline
