// The window's live readings: a battery discharge on the simulator, published while it runs.
#include "publish/LivePublisher.h"
#include "store/ResultsQuery.h"
#include "support/MqttTestBroker.h"
#include "ui/WindowFixture.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

namespace {

class WindowPublishTest : public WindowTest
{
};

// Every stored reading arrives, between the run's start and its end (the instrument's own,
// not the idle state that comes just before it), and the closed window says "offline".
TEST_F(WindowPublishTest, BatteryRunIsPublishedWhole)
{
    MqttTestBroker broker;
    if (!broker.Problem().isEmpty())
        GTEST_SKIP() << broker.Problem().toStdString();
    PublishLocation location;
    location.host = QStringLiteral("127.0.0.1");
    location.port = broker.Port();
    location.prefix = QStringLiteral("lab");
    form->setPublisher(std::make_unique<LivePublisher>(location, QStringLiteral("win"), QString()));
    form->Live().Publisher()->Start();
    MqttListener listener(broker.Port(), QStringLiteral("lab/win/#"));
    ASSERT_TRUE(WaitUntil([&] { return listener.On("lab/win/status") == QStringList { "online" }; }));

    SimOptions options;
    options.timeScale = 20;
    options.batteryCapacityAh = 0.02;
    ConnectTo(options);
    form->PageControl1->setCurrentIndex(1);
    form->BOffV->setText(QStringLiteral("11.5"));
    form->BChargeI->setText(QStringLiteral("0.3"));
    form->testInteral->setText(QStringLiteral("1"));
    form->BSetButton->click();
    ASSERT_TRUE(DrainQueue());
    form->startButtonB->click(); // "Start": only stops
    form->startButtonB->click();
    ASSERT_TRUE(WaitUntil([&] { return form->startButtonB->text() == u"Begin"; }, std::chrono::seconds(60)));
    const int rows = form->ADOQuery2->RowCount();
    ASSERT_TRUE(WaitUntil([&] { return listener.On("lab/win/run").size() == 2; }))
        << listener.On("lab/win/run").join(u'\n').toStdString();
    const QJsonObject start = QJsonDocument::fromJson(listener.On("lab/win/run")[0].toUtf8()).object();
    const QJsonObject end = QJsonDocument::fromJson(listener.On("lab/win/run")[1].toUtf8()).object();
    EXPECT_EQ(start.value("event").toString(), "start");
    EXPECT_EQ(end.value("outcome").toString(), "cut-off");
    EXPECT_GT(end.value("summary").toObject().value("duration_s").toDouble(), 0);
    ASSERT_TRUE(WaitUntil([&] { return listener.On("lab/win/reading").size() >= rows; }));
    EXPECT_EQ(listener.On("lab/win/reading").size(), rows);
    for (const QString& reading : listener.On("lab/win/reading"))
        EXPECT_EQ(QJsonDocument::fromJson(reading.toUtf8()).object().value("run"), start.value("run"));

    form.reset();
    ASSERT_TRUE(WaitUntil([&] { return listener.On("lab/win/status").size() == 2; }));
    EXPECT_EQ(listener.On("lab/win/status").last(), "offline");
}

} // namespace
