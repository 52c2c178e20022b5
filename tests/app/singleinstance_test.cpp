// The one-panel lock: held while its owner lives, free once it is gone, and
// a lock that cannot be made at all does not keep the panel from starting.

#include "app/singleinstance.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using quillon::app::SingleInstance;

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_runtime.isValid());
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(m_runtime.path()));
    }

    void heldWhileItsOwnerLives()
    {
        auto first = std::make_unique<SingleInstance>(QStringLiteral("one"));
        QVERIFY(first->isFirst());
        QVERIFY(!SingleInstance(QStringLiteral("one")).isFirst());
        QVERIFY(SingleInstance(QStringLiteral("other")).isFirst());
        first.reset();
        QVERIFY(SingleInstance(QStringLiteral("one")).isFirst());
    }

#ifndef Q_OS_WIN
    void lockThatCannotBeMadeDoesNotKeepThePanelFromStarting()
    {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot lock .*missing/one\\.lock"));
        QVERIFY(SingleInstance(QStringLiteral("missing/one")).isFirst());
    }
#endif

private:
    QTemporaryDir m_runtime;
};

QTEST_GUILESS_MAIN(SingleInstanceTest)
#include "singleinstance_test.moc"
