#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class setingsForm;
}

// The "Settings" dialog: edits the cover value and the matrix value.
//
// The values are clamped to the spin boxes' ranges (cover -99999..99999,
// matrix -999999..999999). The "Random seed" field is shown but neither read
// nor stored by anything.
class setings : public QDialog
{
    Q_OBJECT

public:
    explicit setings(QWidget *parent = nullptr);
    ~setings() override;

    void setCoverValue(int value);
    void setMatrixValue(int value);
    int getCoverValue() const;
    int getMatrixValue() const;

private:
    std::unique_ptr<Ui::setingsForm> ui;
};
