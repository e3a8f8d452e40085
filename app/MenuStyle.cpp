#include "app/MenuStyle.h"

#include <QAction>
#include <QMenu>
#include <QPainter>
#include <QStyleOptionMenuItem>

#include "app/MyGUtils.h"
#include "platform/gui/QtCanvas.h"

namespace qv {

namespace {

bool IsOwnerDrawn(const QWidget* Widget) {
    return Widget != nullptr && Widget->property(OwnerDrawProperty).toBool();
}

/// The item as the menu painter sees it: the option carries caption and
/// shortcut as "caption\tshortcut"; glyph and hint come from the action.
TMenuItemInfo ItemInfo(const QStyleOptionMenuItem& Option, const QAction* Action, const TImageList* Images) {
    TMenuItemInfo Info;
    Info.Images = Images;
    if (Option.menuItemType == QStyleOptionMenuItem::Separator) {
        Info.Caption.assign(1, '-');
        Info.Hint = (Action != nullptr ? Action->text() : Option.text).toStdString();
        return Info;
    }
    const qsizetype Tab = Option.text.indexOf(QLatin1Char('\t'));
    Info.Caption = (Tab < 0 ? Option.text : Option.text.left(Tab)).toStdString();
    if (Tab >= 0) Info.ShortCutText = Option.text.mid(Tab + 1).toStdString();
    if (Action != nullptr) {
        bool Ok = false;
        const int Index = Action->property(ImageIndexProperty).toInt(&Ok);
        Info.ImageIndex = Ok ? Index : -1;
    }
    return Info;
}

} // namespace

TMenuStyle::TMenuStyle(const TImageList* Images) : FImages(Images) {}

QSize TMenuStyle::sizeFromContents(ContentsType Type, const QStyleOption* Option, const QSize& ContentsSize,
                                   const QWidget* Widget) const {
    const auto* Item = qstyleoption_cast<const QStyleOptionMenuItem*>(Option);
    if (Type != CT_MenuItem || Item == nullptr || !IsOwnerDrawn(Widget))
        return QProxyStyle::sizeFromContents(Type, Option, ContentsSize, Widget);
    // Measure with the menu's font, as the painter will draw with it.
    TQtCanvas Canvas(Item->font);
    int Width = ContentsSize.width();
    int Height = ContentsSize.height();
    MeasureMenuItem(ItemInfo(*Item, nullptr, FImages), Canvas, Width, Height);
    return QSize(Width, Height);
}

void TMenuStyle::drawControl(ControlElement Element, const QStyleOption* Option, QPainter* Painter,
                             const QWidget* Widget) const {
    const auto* Item = qstyleoption_cast<const QStyleOptionMenuItem*>(Option);
    if (Element != CE_MenuItem || Item == nullptr || !IsOwnerDrawn(Widget)) {
        QProxyStyle::drawControl(Element, Option, Painter, Widget);
        return;
    }
    const auto* Menu = qobject_cast<const QMenu*>(Widget);
    const QAction* Action = Menu != nullptr ? Menu->actionAt(Item->rect.center()) : nullptr;
    const TMenuItemInfo Info = ItemInfo(*Item, Action, FImages);
    TOwnerDrawState State;
    State.Selected = (Item->state & State_Selected) != 0;
    State.Disabled = (Item->state & State_Enabled) == 0;
    State.Checked = Item->checkType != QStyleOptionMenuItem::NotCheckable && Item->checked;
    const QRect& Q = Item->rect;
    Painter->save();
    Painter->setFont(Item->font);
    TQtCanvas Canvas(*Painter);
    DrawMenuItem(Info, Canvas, TRect{Q.left(), Q.top(), Q.left() + Q.width(), Q.top() + Q.height()}, State);
    Painter->restore();
}

int TMenuStyle::pixelMetric(PixelMetric Metric, const QStyleOption* Option, const QWidget* Widget) const {
    switch (Metric) {
    case PM_ToolBarSeparatorExtent: return 8;
    case PM_MenuHMargin:
    case PM_MenuVMargin:
        if (IsOwnerDrawn(Widget)) return 0;
        break;
    default: break;
    }
    return QProxyStyle::pixelMetric(Metric, Option, Widget);
}

} // namespace qv
