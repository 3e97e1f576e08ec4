// Helpers of the qv01_fm widget tests.
#pragma once

#include <QDir>
#include <QMessageBox>
#include <QString>
#include <QTest>
#include <QWidget>

namespace qvtest {

// The child `name` of `root`; the test program stops when there is none.
template <typename T>
T* child(QWidget* root, const char* name) {
    T* w = root->findChild<T*>(name);
    if (!w) qFatal("no widget %s", name);
    return w;
}

// Waits for the message box `name` under `root`, closes it and returns its
// text; a text in parentheses says what went wrong instead.
inline QString take_message(QWidget* root, const char* name, int timeout_ms = 15000) {
    QMessageBox* box = nullptr;
    if (!QTest::qWaitFor([&] { return (box = root->findChild<QMessageBox*>(name)) != nullptr; },
                         timeout_ms))
        return QString("(no message box %1)").arg(name);
    const QString text = box->text();
    box->close();
    if (!QTest::qWaitFor([&] { return root->findChild<QMessageBox*>(name) == nullptr; },
                         timeout_ms))
        return QString("(message box %1 stayed open)").arg(name);
    return text;
}

// Runs the enclosed statements in another working directory.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const QString& path) : saved_(QDir::currentPath()) {
        if (!QDir::setCurrent(path)) qFatal("cannot enter %s", qPrintable(path));
    }
    ~WorkingDirectory() { QDir::setCurrent(saved_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    QString saved_;
};

}  // namespace qvtest
