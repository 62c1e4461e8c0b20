#include "platform/dialogs.h"

#include <QGuiApplication>
#include <QInputDialog>
#include <QMessageBox>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace platform {
namespace {

std::function<std::optional<QString>(const QString&)>& InputAnswer() {
    static std::function<std::optional<QString>(const QString&)> answer;
    return answer;
}

std::function<void(const QString&)>& MessageObserver() {
    static std::function<void(const QString&)> observer;
    return observer;
}

}  // namespace

bool IsHeadless() {
    const QString name = QGuiApplication::platformName();
    return name == QLatin1String("offscreen") || name == QLatin1String("minimal");
}

namespace {

// Every box is also a line on standard error; headless, that line is all there is.
bool Report(const QString& text) {
    std::fprintf(stderr, "drennik: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
    if (MessageObserver()) {
        MessageObserver()(text);
    }
    return !IsHeadless();
}

QMessageBox* MakeBox(const QString& text, QWidget* parent) {
    return new QMessageBox(QMessageBox::NoIcon, QString::fromLatin1(kApplicationTitle), text,
                           QMessageBox::Ok, parent);
}

}  // namespace

void MessageBox(const QString& text, QWidget* parent) {
    if (Report(text)) {
        std::unique_ptr<QMessageBox> box(MakeBox(text, parent));
        box->exec();
    }
}

void ShowMessage(const QString& text, QWidget* parent) {
    if (Report(text)) {
        QMessageBox* box = MakeBox(text, parent);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::NonModal);
        box->show();
    }
}

std::optional<QString> InputBox(const QString& prompt, const QString& title, QWidget* parent) {
    if (InputAnswer()) {
        return InputAnswer()(prompt);
    }
    if (IsHeadless()) {
        std::fprintf(stderr, "drennik: %s(no answer without a display)\n",
                     prompt.toLocal8Bit().constData());
        return std::nullopt;
    }
    bool ok = false;
    const QString text =
        QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, QString(), &ok);
    if (!ok) {
        return std::nullopt;
    }
    return text;
}

void EndProgram(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

void SetInputBoxAnswerForTesting(std::function<std::optional<QString>(const QString&)> answer) {
    InputAnswer() = std::move(answer);
}

void SetMessageBoxObserverForTesting(std::function<void(const QString&)> observer) {
    MessageObserver() = std::move(observer);
}

}  // namespace platform
