// SPDX-License-Identifier: LGPL-2.1-or-later
// A presenter for tests: records each notice and answers at once instead of
// showing it, so no test ever waits for a person. Notices may come from any
// thread.
#ifndef QPORT_TESTS_RECORDING_PRESENTER_H
#define QPORT_TESTS_RECORDING_PRESENTER_H

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "qport_ext.h"

struct RecordedNotice {
    std::string title;
    std::string text;
    // What `observe` answered when the notice was shown (e.g. how many
    // transfers had been made by then).
    std::size_t observed = 0;
    bool operator==(const RecordedNotice &) const = default;
};

class RecordingPresenter {
public:
    explicit RecordingPresenter(std::function<std::size_t()> observe = {})
        : observe_(std::move(observe))
    {
        qport_set_presenter(&RecordingPresenter::present, this);
    }
    ~RecordingPresenter() { qport_set_presenter(nullptr, nullptr); }
    RecordingPresenter(const RecordingPresenter &) = delete;
    RecordingPresenter &operator=(const RecordingPresenter &) = delete;

    std::vector<RecordedNotice> notices() const
    {
        const std::lock_guard lock(mutex_);
        return notices_;
    }
    void clear()
    {
        const std::lock_guard lock(mutex_);
        notices_.clear();
    }

    // Runs while a notice is "open", before it is dismissed: on the thread
    // that shows it, outside the lock.
    std::function<void(const RecordedNotice &)> while_open;

private:
    static int present(const char *title, const char *text, void *self)
    {
        auto &presenter = *static_cast<RecordingPresenter *>(self);
        const RecordedNotice notice{title, text,
                                    presenter.observe_ ? presenter.observe_() : std::size_t{0}};
        if (presenter.while_open)
            presenter.while_open(notice);
        const std::lock_guard lock(presenter.mutex_);
        presenter.notices_.push_back(notice);
        return 1;
    }

    std::function<std::size_t()> observe_;
    mutable std::mutex mutex_;
    std::vector<RecordedNotice> notices_;
};

#endif
