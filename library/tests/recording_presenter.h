// SPDX-License-Identifier: LGPL-2.1-or-later
// A presenter for tests: records each notice instead of showing it, so no
// test ever waits for a person.
#ifndef QPORT_TESTS_RECORDING_PRESENTER_H
#define QPORT_TESTS_RECORDING_PRESENTER_H

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "qport_ext.h"

struct RecordedNotice {
    std::string title;
    std::string text;
    // What `observe` answered when the notice was shown (e.g. how many
    // transfers had been made by then).
    std::size_t observed = 0;
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

private:
    static int present(const char *title, const char *text, void *self)
    {
        auto *presenter = static_cast<RecordingPresenter *>(self);
        const std::size_t observed = presenter->observe_ ? presenter->observe_() : 0;
        const std::lock_guard lock(presenter->mutex_);
        presenter->notices_.push_back({title, text, observed});
        return 1;
    }

    std::function<std::size_t()> observe_;
    mutable std::mutex mutex_;
    std::vector<RecordedNotice> notices_;
};

#endif
