// SPDX-License-Identifier: LGPL-2.1-or-later
// The machine's last transfers as a scrolling table, newest at the bottom:
// time, direction, width, port and value. It can be paused, and narrowed
// to one port, and shows the times since the panel started or as the time
// of day.
#ifndef QPORT_PANEL_TRANSFER_LOG_H
#define QPORT_PANEL_TRANSFER_LOG_H

#include <QAbstractTableModel>
#include <QGroupBox>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "qport_sim.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QTableView;

namespace panel {

// How the table shows a transfer's time.
enum class TimeShown {
    sinceStart, // seconds since the panel started (earlier ones negative)
    wallClock,  // the local time of day, HH:MM:SS.mmm
};

// The clocks as they stood when the panel started: CLOCK_MONOTONIC (the
// transfers' clock), and CLOCK_REALTIME less CLOCK_MONOTONIC.
struct TimeBase {
    std::int64_t startNs = 0;
    std::int64_t wallMinusMonotonicNs = 0;
    static TimeBase now();
};

// A transfer's time (CLOCK_MONOTONIC) as the table shows it.
QString transferTime(std::uint64_t timeNs, TimeShown shown, const TimeBase &base);

// The option's words for each way, and back; false for another word.
bool parseTimeShown(QStringView text, TimeShown &shown);

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
    void setTimeShown(TimeShown shown);
    TimeShown timeShown() const { return shown_; }

private:
    std::deque<qport_sim_transfer> rows_;
    TimeShown shown_ = TimeShown::sinceStart;
    TimeBase base_ = TimeBase::now();
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
    QComboBox *timeChoice() const { return timeChoice_; }
    void setTimeShown(TimeShown shown);
    TransferModel *model() const { return model_; }

private:
    void filterChanged();

    TransferModel *model_ = nullptr;
    QTableView *table_ = nullptr;
    QPushButton *pause_ = nullptr;
    QLineEdit *filter_ = nullptr;
    QComboBox *timeChoice_ = nullptr;
    std::optional<std::uint16_t> port_;
    std::uint64_t lastTime_ = 0;
};

} // namespace panel

#endif
