#pragma once
// The port box: its items read "COM3  /dev/serial/by-id/usb-…", a COM name
// and the path it stands for. The closed box is narrow, so it shows the COM
// name whole and as much of the path as fits, cut in the middle; the open
// list is as wide as its longest item, and a tooltip gives the whole text.
#include <QComboBox>

class CPortComboBox : public QComboBox {
    Q_OBJECT
public:
    explicit CPortComboBox(QWidget* pParent = nullptr);

    // Sets an item's text and its tooltip.
    void SetPortItemText(int nIndex, const QString& strText);
    // What the closed box shows of the current item.
    QString ClosedText() const;
    // Where the closed box draws it.
    QRect TextRect() const;

    void showPopup() override;

protected:
    void paintEvent(QPaintEvent* pEvent) override;

private:
    void OnCurrentChanged();
};
