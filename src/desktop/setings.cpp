#include "setings.h"
#include "ui_setings.h"

setings::setings(QWidget *parent)
    : QDialog(parent)
    , ui(std::make_unique<Ui::setingsForm>())
{
    ui->setupUi(this);
}

setings::~setings() = default;

void setings::setCoverValue(int value)
{
    ui->coverValue->setValue(value);
}

void setings::setMatrixValue(int value)
{
    ui->matrixValue->setValue(value);
}

int setings::getCoverValue() const
{
    return ui->coverValue->value();
}

int setings::getMatrixValue() const
{
    return ui->matrixValue->value();
}
