#include "devsim/democonfig.h"

#include <QSaveFile>
#include <QXmlStreamWriter>

QString DemoConfig::toXml() const
{
    QString out;
    QXmlStreamWriter xml(&out);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(QStringLiteral("settings"));
    xml.writeTextElement(QStringLiteral("hotplug"), QStringLiteral("off"));
    if (!logsDir.isEmpty()) {
        xml.writeStartElement(QStringLiteral("logs"));
        xml.writeTextElement(QStringLiteral("dir"), logsDir);
        xml.writeEndElement();
    }
    xml.writeStartElement(QStringLiteral("device"));
    xml.writeAttribute(QStringLiteral("type"), QStringLiteral("dalv"));
    xml.writeTextElement(QStringLiteral("id"), id);
    xml.writeTextElement(QStringLiteral("protocol"), QString::number(protocol));
    const auto port = [&xml](const QString &name, const QString &path) {
        xml.writeStartElement(name);
        xml.writeTextElement(QStringLiteral("port"), path);
        xml.writeTextElement(QStringLiteral("baudrate"), QStringLiteral("115200"));
        xml.writeEndElement();
    };
    port(QStringLiteral("app"), appPort);
    port(QStringLiteral("dev"), devPort);
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return out;
}

bool DemoConfig::write(const QString &path, QString *error) const
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    file.write(toXml().toUtf8());
    if (!file.commit()) {
        *error = QStringLiteral("cannot write %1: %2").arg(path, file.errorString());
        return false;
    }
    return true;
}
