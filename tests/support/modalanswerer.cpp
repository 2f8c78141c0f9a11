#include "modalanswerer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPushButton>

namespace ondrel {

CModalAnswerer::CModalAnswerer(QObject* parent) : QObject(parent)
{
    m_timer.setInterval(10);
    connect(&m_timer, &QTimer::timeout, this, &CModalAnswerer::Poll);
    m_timer.start();
}

CModalAnswerer::~CModalAnswerer() = default;

void CModalAnswerer::SetWhileShown(std::function<void(QWidget*, int)> callback)
{
    m_whileShown = std::move(callback);
}

void CModalAnswerer::SetAnswer(std::function<QString(const AnsweredBox&, int)> choose)
{
    m_choose = std::move(choose);
}

QStringList CModalAnswerer::Texts() const
{
    QStringList texts;
    for (const AnsweredBox& box : m_boxes)
        texts << box.text;
    return texts;
}

QStringList CModalAnswerer::Titles() const
{
    QStringList titles;
    for (const AnsweredBox& box : m_boxes)
        titles << box.title;
    return titles;
}

void CModalAnswerer::Poll()
{
    // The callback may spin an event loop of its own (a tick, a wait): this timer
    // fires inside it, and the box must not be answered twice.
    if (m_inCallback)
        return;
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal)
        return;
    for (const QPointer<QWidget>& done : m_answered) {
        if (done == modal)
            return; // dismissed already, its loop has not ended yet
    }

    AnsweredBox record;
    record.title = modal->windowTitle();
    auto* messageBox = qobject_cast<QMessageBox*>(modal);
    if (messageBox) {
        record.isMessageBox = true;
        record.text = messageBox->text();
        record.informativeText = messageBox->informativeText();
        for (QAbstractButton* button : messageBox->buttons())
            record.buttonTexts << button->text().remove(QLatin1Char('&'));
        record.icon = messageBox->icon();
        record.buttons = messageBox->standardButtons();
    }
    m_boxes.append(record);
    m_answered.append(QPointer<QWidget>(modal));

    if (m_whileShown) {
        m_inCallback = true;
        m_whileShown(modal, m_boxes.size() - 1);
        m_inCallback = false;
    }

    QPointer<QWidget> alive(modal);
    if (!alive)
        return;
    if (messageBox) {
        QAbstractButton* button = nullptr;
        if (m_choose) {
            const QString wanted = m_choose(record, m_boxes.size() - 1);
            for (QAbstractButton* candidate : messageBox->buttons()) {
                if (!wanted.isEmpty() && candidate->text().remove(QLatin1Char('&')) == wanted)
                    button = candidate;
            }
        }
        if (!button)
            button = messageBox->defaultButton();
        if (!button)
            button = messageBox->button(QMessageBox::Ok);
        if (!button)
            button = messageBox->escapeButton();
        if (button) {
            button->click();
            return;
        }
    }
    if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->reject();
    else
        modal->close();
}

} // namespace ondrel
