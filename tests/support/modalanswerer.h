// Answers the modal boxes a test provokes, so that no box is left waiting for a
// user: while alive it watches for the active modal widget, records what a message
// box said, optionally lets the test act while the box is up, then dismisses it.
#pragma once

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

namespace ondrel {

struct AnsweredBox
{
    QString title;
    QString text;
    QString informativeText;
    QStringList buttonTexts; // mnemonics removed
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons = QMessageBox::NoButton;
    bool isMessageBox = false;
};

class CModalAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit CModalAnswerer(QObject* parent = nullptr);
    ~CModalAnswerer() override;

    // Runs while a box is up, before it is dismissed (e.g. to deliver a timer tick
    // and check that nothing was sent meanwhile). Gets the box and its index.
    void SetWhileShown(std::function<void(QWidget* box, int index)> callback);

    // Which button of a message box to click, by its text without mnemonics;
    // an empty answer (or no such button) clicks the default button.
    void SetAnswer(std::function<QString(const AnsweredBox& box, int index)> choose);

    const QList<AnsweredBox>& Boxes() const { return m_boxes; }
    int Count() const { return m_boxes.size(); }
    QStringList Texts() const;
    QStringList Titles() const;
    void Clear() { m_boxes.clear(); }

private:
    void Poll();

    QTimer m_timer;
    QList<AnsweredBox> m_boxes;
    QList<QPointer<QWidget>> m_answered;
    std::function<void(QWidget*, int)> m_whileShown;
    std::function<QString(const AnsweredBox&, int)> m_choose;
    bool m_inCallback = false;
};

} // namespace ondrel
