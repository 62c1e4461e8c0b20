#pragma once

#include <QWidget>

#include <algorithm>
#include <initializer_list>

namespace testing_support {

// The next of `controls` after `from` in the focus chain, skipping the inner widgets of
// composite controls (viewports, scroll bars) and anything else.
inline QWidget* NextControl(QWidget* from, std::initializer_list<QWidget*> controls) {
    QWidget* w = from->nextInFocusChain();
    for (int steps = 0; steps < 1000 && w != from; ++steps, w = w->nextInFocusChain()) {
        if (std::find(controls.begin(), controls.end(), w) != controls.end()) {
            return w;
        }
    }
    return nullptr;
}

}  // namespace testing_support
