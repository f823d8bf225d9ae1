// Keeps the messages the window would show instead of opening modal boxes.
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

#include "form1.h"

namespace sample_app::test_support {

class RecordingPresenter final : public MessagePresenter {
  public:
    void showError(const QString& description) override {
        messages.append(description);
        if (onShow)
            onShow(description);
    }

    QStringList messages;
    std::function<void(const QString&)> onShow;
};

}  // namespace sample_app::test_support
