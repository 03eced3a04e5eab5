// SPDX-License-Identifier: LGPL-2.1-or-later
#include "transfer_log.h"

#include <algorithm>
#include <ctime>

#include <QComboBox>
#include <QDateTime>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

namespace panel {
namespace {

constexpr std::int64_t nanosecondsPerSecond = 1000000000;

std::int64_t nanoseconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return std::int64_t{now.tv_sec} * nanosecondsPerSecond + now.tv_nsec;
}

} // namespace

TimeBase TimeBase::now()
{
    const std::int64_t monotonic = nanoseconds(CLOCK_MONOTONIC);
    return {monotonic, nanoseconds(CLOCK_REALTIME) - monotonic};
}

QString transferTime(std::uint64_t timeNs, TimeShown shown, const TimeBase &base)
{
    const auto time = static_cast<std::int64_t>(timeNs);
    if (shown == TimeShown::wallClock)
        return QDateTime::fromMSecsSinceEpoch((time + base.wallMinusMonotonicNs) / 1000000)
            .toString(QStringLiteral("HH:mm:ss.zzz"));
    // Microseconds: finer than the panel's updates, as fine as a port's
    // transfer takes on the bench.
    const std::int64_t since = time - base.startNs;
    const std::uint64_t magnitude =
        since < 0 ? 0 - static_cast<std::uint64_t>(since) : static_cast<std::uint64_t>(since);
    const std::uint64_t micro = magnitude / 1000;
    return QStringLiteral("%1%2.%3")
        .arg(since < 0 ? QStringLiteral("-") : QString())
        .arg(micro / 1000000)
        .arg(micro % 1000000, 6, 10, QChar('0'));
}

bool parseTimeShown(QStringView text, TimeShown &shown)
{
    if (text == QStringLiteral("since-start"))
        shown = TimeShown::sinceStart;
    else if (text == QStringLiteral("wall-clock"))
        shown = TimeShown::wallClock;
    else
        return false;
    return true;
}

int TransferModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TransferModel::columnCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : 5; }

QVariant TransferModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || static_cast<std::size_t>(index.row()) >= rows_.size())
        return {};
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    const qport_sim_transfer &transfer = rows_[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
    case 0:
        return transferTime(transfer.time_ns, shown_, base_);
    case 1:
        return transfer.direction == 'i' ? tr("in") : tr("out");
    case 2:
        return transfer.width_bits;
    case 3:
        return QStringLiteral("0x%1").arg(transfer.port, 4, 16, QChar('0'));
    case 4:
        return QStringLiteral("0x%1").arg(transfer.value, transfer.width_bits / 4, 16, QChar('0'));
    default:
        return {};
    }
}

QVariant TransferModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    const QStringList headers{shown_ == TimeShown::wallClock ? tr("Time") : tr("Since start (s)"),
                              tr("Direction"), tr("Width"), tr("Port"), tr("Value")};
    return section >= 0 && section < headers.size() ? headers[section] : QVariant();
}

void TransferModel::append(const std::vector<qport_sim_transfer> &transfers)
{
    if (transfers.empty())
        return;
    // One reset rather than row-by-row signals: under a flood of transfers
    // the whole table changes at every update anyway.
    beginResetModel();
    for (const qport_sim_transfer &transfer : transfers)
        rows_.push_back(transfer);
    while (rows_.size() > capacity)
        rows_.pop_front();
    endResetModel();
}

void TransferModel::clear()
{
    beginResetModel();
    rows_.clear();
    endResetModel();
}

void TransferModel::setTimeShown(TimeShown shown)
{
    if (shown == shown_)
        return;
    shown_ = shown;
    emit headerDataChanged(Qt::Horizontal, 0, 0);
    if (!rows_.empty())
        emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DisplayRole});
}

std::vector<qport_sim_transfer> newTransfers(const std::vector<qport_sim_transfer> &recorded,
                                             std::uint64_t last, std::optional<std::uint16_t> port,
                                             std::size_t limit)
{
    std::vector<qport_sim_transfer> found;
    // From the newest back, to stop once enough are found.
    for (auto record = recorded.rbegin(); record != recorded.rend() && found.size() < limit;
         ++record) {
        if (record->time_ns <= last)
            break;
        if (!port || record->port == *port)
            found.push_back(*record);
    }
    std::reverse(found.begin(), found.end());
    return found;
}

bool parsePortFilter(const QString &text, std::optional<std::uint16_t> &port)
{
    QString digits = text.trimmed();
    if (digits.isEmpty()) {
        port.reset();
        return true;
    }
    if (digits.startsWith(QStringLiteral("0x"), Qt::CaseInsensitive))
        digits = digits.mid(2);
    bool ok = false;
    const uint value = digits.toUInt(&ok, 16);
    if (!ok || value > 0xFFFF)
        return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

TransferLog::TransferLog(QWidget *parent) : QGroupBox(tr("Last transfers"), parent)
{
    auto *layout = new QVBoxLayout(this);
    auto *controls = new QHBoxLayout;
    layout->addLayout(controls);
    pause_ = new QPushButton(tr("&Pause"), this);
    pause_->setObjectName(QStringLiteral("pause"));
    pause_->setCheckable(true);
    controls->addWidget(pause_);
    auto *filterLabel = new QLabel(tr("P&ort:"), this);
    filter_ = new QLineEdit(this);
    filter_->setObjectName(QStringLiteral("portFilter"));
    filter_->setPlaceholderText(tr("all, or e.g. 0x378"));
    filter_->setClearButtonEnabled(true);
    filterLabel->setBuddy(filter_);
    controls->addWidget(filterLabel);
    controls->addWidget(filter_);
    auto *timeLabel = new QLabel(tr("T&imes:"), this);
    timeChoice_ = new QComboBox(this);
    timeChoice_->setObjectName(QStringLiteral("timeChoice"));
    // In TimeShown's order.
    timeChoice_->addItem(tr("since start"));
    timeChoice_->addItem(tr("wall clock"));
    timeChoice_->setToolTip(tr("Seconds since the panel started, or the time of day"));
    timeLabel->setBuddy(timeChoice_);
    controls->addWidget(timeLabel);
    controls->addWidget(timeChoice_);
    controls->addStretch();

    model_ = new TransferModel(this);
    table_ = new QTableView(this);
    table_->setObjectName(QStringLiteral("transfers"));
    table_->setModel(model_);
    table_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    table_->verticalHeader()->hide();
    // A line of text a row, to show more of them in a window that fits a
    // small screen.
    table_->verticalHeader()->setDefaultSectionSize(table_->fontMetrics().height() + 4);
    table_->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    table_->setSelectionMode(QAbstractItemView::NoSelection);
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    layout->addWidget(table_);

    connect(filter_, &QLineEdit::textChanged, this, &TransferLog::filterChanged);
    connect(timeChoice_, &QComboBox::currentIndexChanged, this,
            [this](int index) { model_->setTimeShown(static_cast<TimeShown>(index)); });
}

void TransferLog::setTimeShown(TimeShown shown)
{
    timeChoice_->setCurrentIndex(static_cast<int>(shown));
}

bool TransferLog::wantsTransfers() const { return !pause_->isChecked(); }

void TransferLog::filterChanged()
{
    std::optional<std::uint16_t> port = port_;
    const bool valid = parsePortFilter(filter_->text(), port);
    // Text that names no port keeps the filter as it was, and says so.
    filter_->setStyleSheet(valid ? QString() : QStringLiteral("QLineEdit { font-style: italic; }"));
    filter_->setToolTip(valid ? QString() : tr("Not a port: hex digits, up to 0xffff"));
    if (port == port_)
        return;
    port_ = port;
    clear();
}

void TransferLog::clear()
{
    model_->clear();
    lastTime_ = 0;
}

void TransferLog::take(const std::vector<qport_sim_transfer> &recorded)
{
    if (!wantsTransfers())
        return;
    // A record older than the last shown means the machine was reset and
    // the record started again.
    if (!recorded.empty() && recorded.back().time_ns < lastTime_)
        lastTime_ = 0;
    const auto fresh = newTransfers(recorded, lastTime_, port_, TransferModel::capacity);
    if (!recorded.empty())
        lastTime_ = recorded.back().time_ns;
    if (fresh.empty())
        return;
    model_->append(fresh);
    table_->scrollToBottom();
}

} // namespace panel
