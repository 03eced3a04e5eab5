// SPDX-License-Identifier: LGPL-2.1-or-later
// A notice presenter for tests: records each notice and answers at once, so
// no test waits for a person.
#ifndef QUORREL_RECORDING_PRESENTER_H
#define QUORREL_RECORDING_PRESENTER_H

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "port_exercise.h"

struct RecordedNotice {
    std::string title;
    std::string text;
    bool operator==(const RecordedNotice &) const = default;
};

class RecordingPresenter {
public:
    RecordingPresenter() { qport_set_presenter(&RecordingPresenter::present, this); }
    ~RecordingPresenter() { qport_set_presenter(nullptr, nullptr); }
    RecordingPresenter(const RecordingPresenter &) = delete;
    RecordingPresenter &operator=(const RecordingPresenter &) = delete;

    std::vector<RecordedNotice> notices;
    // Runs while a notice is "open", before it is dismissed.
    std::function<void(const RecordedNotice &)> whileOpen;

private:
    static int present(const char *title, const char *text, void *self)
    {
        auto &presenter = *static_cast<RecordingPresenter *>(self);
        const RecordedNotice notice{title, text};
        if (presenter.whileOpen)
            presenter.whileOpen(notice);
        presenter.notices.push_back(notice);
        return 1;
    }
};

inline const RecordedNotice successNotice{"Operation Success!", "DLL successfully called."};

#endif
