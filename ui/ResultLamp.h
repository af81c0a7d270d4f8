#pragma once
// A result panel of the list test: a bold caption on a coloured face. The list test
// recolours the face (palette role Window); the caption stays readable on every colour
// because it is drawn in black or white, whichever stands out more.
#include <QLabel>

class ResultLamp : public QLabel
{
public:
    ResultLamp(const QString& caption, QWidget* parent);

    // Black on light faces (the light green of "Passed"), white on dark ones.
    static QColor CaptionColourOn(const QColor& face);
    // Gives a lamp (or any label) the face `colour`.
    static void Light(QLabel* lamp, const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;
};
