#include "platform/fonts.h"

#include <QFont>

namespace platform {

void InstallFontSubstitutes() {
    static const bool installed = [] {
        QFont::insertSubstitution(QStringLiteral("MS Sans Serif"),
                                  QStringLiteral("Liberation Sans"));
        QFont::insertSubstitution(QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"));
        return true;
    }();
    (void)installed;
}

}  // namespace platform
