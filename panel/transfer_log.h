// SPDX-License-Identifier: LGPL-2.1-or-later
// The machine's last transfers as a scrolling table, newest at the bottom:
// time, direction, width, port and value. It can be paused, and narrowed
// to one port.
#ifndef QPORT_PANEL_TRANSFER_LOG_H
#define QPORT_PANEL_TRANSFER_LOG_H

#include <QAbstractTableModel>
#include <QGroupBox>
#include <deque>
#include <optional>
#include <vector>

#include "qport_sim.h"

class QLineEdit;
class QPushButton;
class QTableView;

namespace panel {

// The rows the table shows, at most capacity, oldest first.
class TransferModel : public QAbstractTableModel {
    Q_OBJECT

public:
    static constexpr std::size_t capacity = 200;
    explicit TransferModel(QObject *parent = nullptr) : QAbstractTableModel(parent) {}
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // Shows these transfers (the newest capacity of them) after those shown.
    void append(const std::vector<qport_sim_transfer> &transfers);
    void clear();

private:
    std::deque<qport_sim_transfer> rows_;
};

// The transfers of recorded that came after the one at time last (0: all),
// on port alone when it is given: the newest limit of them, oldest first.
std::vector<qport_sim_transfer> newTransfers(const std::vector<qport_sim_transfer> &recorded,
                                             std::uint64_t last, std::optional<std::uint16_t> port,
                                             std::size_t limit);

// Reads "0x378" or "378" into port, "" as no port (every one); false for
// text that names no port, leaving port as it was.
bool parsePortFilter(const QString &text, std::optional<std::uint16_t> &port);

class TransferLog : public QGroupBox {
    Q_OBJECT

public:
    explicit TransferLog(QWidget *parent = nullptr);
    // Takes what the machine has recorded; nothing while paused.
    void take(const std::vector<qport_sim_transfer> &recorded);
    // Whether the table wants the records at all (not while paused).
    bool wantsTransfers() const;
    void clear();
    QTableView *table() const { return table_; }
    QPushButton *pauseButton() const { return pause_; }
    QLineEdit *portFilter() const { return filter_; }

private:
    void filterChanged();

    TransferModel *model_ = nullptr;
    QTableView *table_ = nullptr;
    QPushButton *pause_ = nullptr;
    QLineEdit *filter_ = nullptr;
    std::optional<std::uint16_t> port_;
    std::uint64_t lastTime_ = 0;
};

} // namespace panel

#endif
