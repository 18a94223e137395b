// The pseudo-terminal pair the serial tests stand on: bytes pass both ways
// through a QSerialPort on the slave, and closing the master is seen by the
// port as an error, the way an unplugged adapter is.
#include "ptypair.h"

#include <QFile>
#include <QSerialPort>
#include <QSignalSpy>
#include <QtTest>

class TestMorv2Pty : public QObject
{
    Q_OBJECT
private slots:
    void bytesPassBothWays()
    {
        PtyPair pty;
        QVERIFY(pty.isOpen());
        QSerialPort port(pty.portPath());
        QVERIFY2(port.open(QIODevice::ReadWrite), qPrintable(port.errorString()));
        QVERIFY(port.setBaudRate(115200));

        const QByteArray all = [] {
            QByteArray b;
            for (int i = 0; i < 256; ++i)
                b.append(char(i));
            return b;
        }();
        QVERIFY(pty.write(all));
        QByteArray got;
        QTRY_VERIFY_WITH_TIMEOUT((got += port.readAll()).size() >= all.size(), 10000);
        QCOMPARE(got, all);

        port.write(all);
        QVERIFY(port.waitForBytesWritten(10000));
        QCOMPARE(pty.read(all.size(), 10000), all);
        QCOMPARE(pty.readByte(50), -1);
    }

    void closedMasterIsAnError()
    {
        PtyPair pty;
        QSerialPort port(pty.slavePath());
        QVERIFY(port.open(QIODevice::ReadWrite));
        QSignalSpy errors(&port, &QSerialPort::errorOccurred);
        pty.closeMaster();
        QTRY_VERIFY_WITH_TIMEOUT(!errors.isEmpty(), 10000);
        port.close();
        QVERIFY(!QFile::exists(pty.portPath()));   // nothing to reopen by mistake

        QVERIFY(pty.reopen());
        QSerialPort again(pty.portPath());
        QVERIFY(again.open(QIODevice::ReadWrite));
        QVERIFY(pty.write("x"));
        QTRY_VERIFY_WITH_TIMEOUT(again.bytesAvailable() > 0 || again.waitForReadyRead(10), 10000);
        QCOMPARE(again.readAll(), QByteArray("x"));
    }
};

QTEST_GUILESS_MAIN(TestMorv2Pty)
#include "tst_morv2pty.moc"
