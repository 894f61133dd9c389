#include "Pictures.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

// The pictures live in this library's resources; a static library's resources
// are registered by hand before their first use.
static void EnsureResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(clbui);
        return true;
    }();
    (void)done;
}

namespace {

QPixmap Render(const QString& resource, QSize size)
{
    EnsureResources();
    QSvgRenderer renderer(resource);
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    return pixmap;
}

} // namespace

bool HasSlotPicture(const std::string& name)
{
    EnsureResources();
    return QFile::exists(":/" + QString::fromStdString(name));
}

QPixmap SlotPicture(const std::string& name)
{
    const QString resource = ":/" + QString::fromStdString(HasSlotPicture(name) ? name : "NC");
    return Render(resource, QSize(50, 28));
}

QIcon ButtonGlyph(const char* name)
{
    const QString resource = QString(":/btn_") + name;
    QIcon icon;
    icon.addPixmap(Render(resource, QSize(16, 16)));
    icon.addPixmap(Render(resource, QSize(32, 32)));
    return icon;
}

QIcon AppIcon()
{
    QIcon icon;
    for (int s : {16, 32, 48, 64, 128}) icon.addPixmap(Render(":/app", QSize(s, s)));
    return icon;
}
