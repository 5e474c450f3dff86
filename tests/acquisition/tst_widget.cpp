#include "acquisition/startup.h"
#include "acquisition/widget.h"
#include "common/settings.h"

#include "discovery/udpsocket.h"
#include "tests/support/windowfixture.h"
#include "ui_widget.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QApplication>
#include <QBoxLayout>
#include <QButtonGroup>
#include <QComboBox>
#include <QFile>
#include <QHostAddress>
#include <QImageReader>
#include <QLabel>
#include <QNetworkDatagram>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSpacerItem>
#include <QTemporaryDir>
#include <QTranslator>
#include <QUdpSocket>
#include <QtTest>

#include <mutex>

namespace {

WindowFixture* fixture = nullptr;

// The bridge records from its own thread, so the log is shared under a lock.
std::mutex capturedLock;
QStringList captured;

void capture(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtInfoMsg) {
        const std::lock_guard<std::mutex> locker(capturedLock);
        captured.append(message);
    }
}

// The records one module emitted, in order.
QStringList capturedFrom(const QString& module)
{
    const std::lock_guard<std::mutex> locker(capturedLock);
    return captured.filter(QRegularExpression(QStringLiteral("^\"%1\" ").arg(module)));
}

QString escaped(QString text)
{
    return text.replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"));
}

QString sizeText(const QSize& size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

QString policyName(QSizePolicy::Policy policy)
{
    switch (policy) {
    case QSizePolicy::Expanding:
        return QStringLiteral("Expanding");
    case QSizePolicy::Minimum:
        return QStringLiteral("Minimum");
    default:
        return QString::number(int(policy));
    }
}

void describeLayout(const QLayout* layout, int depth, const QWidget* window, QStringList& lines);

// One line per widget: class, name, parent when not the window, and each property the
// form sets; then its own layout, indented.
void describeWidget(const QWidget* widget, int depth, const QWidget* window, QStringList& lines)
{
    QString line = QString(depth * 2, QLatin1Char(' '));
    line +=
        QLatin1String(widget->metaObject()->className()) + QLatin1Char(' ') + widget->objectName();
    if (widget->parentWidget() != window)
        line += QStringLiteral(" parent=") + widget->parentWidget()->objectName();
    if (widget->minimumSize() != QSize(0, 0))
        line += QStringLiteral(" min=") + sizeText(widget->minimumSize());
    if (widget->maximumSize() != QSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX))
        line += QStringLiteral(" max=") + sizeText(widget->maximumSize());
    if (const auto* frame = qobject_cast<const QFrame*>(widget)) {
        if (frame->frameShape() != QFrame::NoFrame)
            line += QStringLiteral(" shape=%1 shadow=%2")
                        .arg(QLatin1String(QMetaEnum::fromType<QFrame::Shape>().valueToKey(
                                 frame->frameShape())),
                             QLatin1String(QMetaEnum::fromType<QFrame::Shadow>().valueToKey(
                                 frame->frameShadow())));
    }
    if (const auto* label = qobject_cast<const QLabel*>(widget))
        line += QStringLiteral(" text=\"%1\"").arg(label->text());
    if (const auto* button = qobject_cast<const QAbstractButton*>(widget))
        line += QStringLiteral(" text=\"%1\"").arg(button->text());
    if (const auto* combo = qobject_cast<const QComboBox*>(widget))
        line += QStringLiteral(" items=%1").arg(combo->count());
    if (!widget->styleSheet().isEmpty())
        line += QStringLiteral(" style=\"%1\"").arg(escaped(widget->styleSheet()));
    lines.append(line);
    if (widget->layout())
        describeLayout(widget->layout(), depth + 1, window, lines);
}

void describeLayout(const QLayout* layout, int depth, const QWidget* window, QStringList& lines)
{
    const QMargins m = layout->contentsMargins();
    lines.append(QStringLiteral("%1%2 %3 spacing=%4 margins=%5,%6,%7,%8")
                     .arg(QString(depth * 2, QLatin1Char(' ')),
                          QLatin1String(layout->metaObject()->className()), layout->objectName())
                     .arg(layout->spacing())
                     .arg(m.left())
                     .arg(m.top())
                     .arg(m.right())
                     .arg(m.bottom()));
    for (int i = 0; i < layout->count(); ++i) {
        QLayoutItem* item = layout->itemAt(i);
        if (item->widget()) {
            describeWidget(item->widget(), depth + 1, window, lines);
        } else if (item->layout()) {
            describeLayout(item->layout(), depth + 1, window, lines);
        } else if (QSpacerItem* spacer = item->spacerItem()) {
            const QSizePolicy policy = spacer->sizePolicy();
            lines.append(QStringLiteral("%1spacer %2 %3/%4")
                             .arg(QString((depth + 1) * 2, QLatin1Char(' ')),
                                  sizeText(spacer->sizeHint()),
                                  policyName(policy.horizontalPolicy()),
                                  policyName(policy.verticalPolicy())));
        }
    }
}

QStringList describeWindow(const QWidget& window)
{
    QStringList lines;
    describeLayout(window.layout(), 0, &window, lines);
    return lines;
}

QString twoRules(const char* button, int normal, int hover)
{
    return QStringLiteral("QPushButton#%1{\\n\\tborder:outset;\\n\\tborder-image: url(:/images/1 "
                          "(%2).png);\\n}\\n\\nQPushButton#%1:hover{\\n\\tborder-image: "
                          "url(:/images/1 (%3).png);\\n}\\n")
        .arg(QLatin1String(button))
        .arg(normal)
        .arg(hover);
}

QString idleRule(const char* button, int image)
{
    return QStringLiteral("QPushButton#%1{\\n\\tborder-image: url(:/images/1 (%2).png);\\n}\\n")
        .arg(QLatin1String(button))
        .arg(image);
}

// The form as built by setupUi, one line per layout, widget and spacer, in order.
// Defaults show resolved: a nested layout's default margins are 0 and its default spacing
// is its parent's; the title strip's bottom margin is the style's.
QStringList expectedForm()
{
    const QString line = QStringLiteral(
        "max=16777215x2 shape=HLine shadow=Sunken style=\"background:rgb(32,36,45);\"");
    return {
        "QVBoxLayout verticalLayout_8 spacing=0 margins=0,0,0,0",
        "  QWidget widget",
        "    QHBoxLayout horizontalLayout spacing=25 margins=11,7,13,9",
        "      QLabel label_4 parent=widget text=\"Ostra\"",
        "      spacer 536x20 Expanding/Minimum",
        "      QPushButton pushButton_updata parent=widget min=20x20 max=20x20 text=\"\" style=\"" +
            twoRules("pushButton_updata", 16, 15) + '"',
        "      QPushButton pushButton_close parent=widget min=20x20 max=20x20 text=\"\" style=\"" +
            twoRules("pushButton_close", 18, 17) + '"',
        "  QHBoxLayout horizontalLayout_7 spacing=0 margins=16,0,18,29",
        "    QVBoxLayout verticalLayout_7 spacing=0 margins=0,0,28,0",
        "      QVBoxLayout verticalLayout spacing=3 margins=0,24,0,0",
        "        QLabel label_5 text=\"Device\"",
        "        QFrame line " + line,
        "      QVBoxLayout verticalLayout_2 spacing=0 margins=0,18,0,0",
        "        QLabel label_3 min=72x34 text=\"Wifi State\"",
        "        QHBoxLayout horizontalLayout_2 spacing=20 margins=0,0,0,0",
        "          QLabel label_wifi_state min=24x24 max=24x24 shape=Box shadow=Plain text=\"\" "
        "style=\"QLabel#label_wifi_state{\\n\\tborder:outset;\\n\\tborder-image:url(:/images/1 "
        "(14).png);\\n}\\n\"",
        "          QLabel label_9 text=\"\"",
        "      QVBoxLayout verticalLayout_3 spacing=0 margins=0,0,0,0",
        "        QLabel label min=72x34 text=\"Device IP\"",
        "        QComboBox comboBox_wifi min=261x34 max=16777215x34 items=0",
        "      QVBoxLayout verticalLayout_4 spacing=0 margins=0,0,0,0",
        "        QLabel label_2 min=72x34 text=\"Device State\"",
        "        QLabel label_device_state min=24x24 max=24x24 text=\"\" "
        "style=\"QLabel#label_device_state{\\n\\tborder:outset;\\n\\tborder-image:url(:/images/1 "
        "(22).png);\\n}\\n\"",
        "      QVBoxLayout verticalLayout_5 spacing=0 margins=0,3,0,16",
        "        QLabel label_10 text=\"Calibration\"",
        "        QFrame line_2 " + line,
        "      QHBoxLayout horizontalLayout_3 spacing=0 margins=0,0,0,0",
        "        QPushButton pushButton_rotateRight90 min=32x32 max=32x32 text=\"\" style=\"" +
            twoRules("pushButton_rotateRight90", 25, 24) + '"',
        "        spacer 40x20 Expanding/Minimum",
        "        QPushButton pushButton_roateLeft90 min=32x32 max=32x32 text=\"\" style=\"" +
            twoRules("pushButton_roateLeft90", 27, 26) + '"',
        "        spacer 40x20 Expanding/Minimum",
        "        QPushButton pushButton_filpVertical min=32x32 max=32x32 text=\"\" style=\"" +
            twoRules("pushButton_filpVertical", 20, 19) + '"',
        "        spacer 40x20 Expanding/Minimum",
        "        QPushButton pushButton_filpHorizontal min=32x32 max=32x32 text=\"\" style=\"" +
            twoRules("pushButton_filpHorizontal", 29, 28) + '"',
        "      spacer 20x40 Minimum/Expanding",
        "      QHBoxLayout horizontalLayout_4 spacing=0 margins=0,0,0,0",
        "        QRadioButton radioButton_auto_save text=\"Auto Save\"",
        "        QPushButton pushButton_image_save min=0x24 max=60x16777215 text=\"\" style=\"" +
            twoRules("pushButton_image_save", 4, 3) + '"',
        "    QVBoxLayout verticalLayout_6 spacing=0 margins=0,0,0,0",
        "      QHBoxLayout horizontalLayout_5 spacing=0 margins=25,0,0,0",
        "        QRadioButton radioButton_hd text=\"HD\"",
        "        QRadioButton radioButton_ultraHD text=\"Ultra HD\"",
        "      QHBoxLayout horizontalLayout_6 spacing=3 margins=0,0,0,0",
        "        QLabel label_luminance min=20x0 max=20x16777215 text=\"\"",
        "        QLabel label_image min=300x410 max=300x410 shape=Box shadow=Plain text=\"\" "
        "style=\"QLabel#label_image{\\n\\tbackground:rgb(38,41,48);\\n\\tborder;none;\\n\\tborder-"
        "radius:8px;\\n}\\n\"",
    };
}

const char* const kWindowStyleSheet =
    "QWidget#Widget{\n\tbackground:rgb(19,23,29);\n}\n\n"
    "QWidget .QLabel{\n\tcolor:rgb(165,176,194);\n}\n\n"
    "QWidget .QComboBox{\n\tcolor:rgb(164,177,196);\n\tborder-"
    "radius:8px;\n\tbackground:rgb(38,41,48);\n}\n\n"
    "QRadioButton::indicator::checked{\n\timage: url(:/images/1 "
    "(2).png);\n}\n\n"
    "QRadioButton ,QCheckBox{\n\tspacing:10px;\n\tcolor:rgb(165,"
    "176,194);\n}\n\n"
    "QCheckBox::indicator{\n\twidth:20px;\n\theight:20px;\n}\n\n"
    "QRadioButton::indicator::unchecked{\n\timage: url(:/images/1 "
    "(1).png);\n}\n";

// The tool buttons in the order the window arms and disarms them, with their idle image.
const std::pair<const char*, int> kTools[] = {
    {"pushButton_image_save", 4},      {"pushButton_roateLeft90", 27},
    {"pushButton_filpVertical", 20},   {"pushButton_rotateRight90", 25},
    {"pushButton_filpHorizontal", 29},
};

// Answers every text of one context with a marked copy, to show which context asks.
class MarkingTranslator final : public QTranslator
{
public:
    QString translate(const char* context, const char* source, const char*, int) const override
    {
        if (qstrcmp(context, "Widget") != 0 || !source || !*source)
            return QString();
        return QStringLiteral("<") + QLatin1String(source) + QStringLiteral(">");
    }
    bool isEmpty() const override { return false; }
};

// Every image a style sheet names, with the rule's kind ("image" or "border-image").
QList<QPair<QString, QString>> imagesNamedIn(const QString& styleSheet)
{
    QList<QPair<QString, QString>> found;
    static const QRegularExpression url(
        QStringLiteral("(border-image|image):\\s*url\\((.*?\\.(png|gif))\\)"));
    auto it = url.globalMatch(styleSheet);
    while (it.hasNext()) {
        const auto match = it.next();
        found.append({match.captured(1), match.captured(2)});
    }
    return found;
}

// Pixels of a rendered widget against an image drawn over the window colour.
bool showsImage(const QImage& rendered, const QString& imagePath)
{
    QImage expected(rendered.size(), QImage::Format_ARGB32);
    expected.fill(QColor(19, 23, 29));
    {
        QPainter painter(&expected);
        painter.drawImage(0, 0, QImage(imagePath));
    }
    const QImage actual = rendered.convertToFormat(QImage::Format_ARGB32);
    int differing = 0;
    for (int y = 0; y < actual.height(); ++y)
        for (int x = 0; x < actual.width(); ++x) {
            const QRgb a = actual.pixel(x, y);
            const QRgb e = expected.pixel(x, y);
            if (qAbs(qRed(a) - qRed(e)) > 8 || qAbs(qGreen(a) - qGreen(e)) > 8 ||
                qAbs(qBlue(a) - qBlue(e)) > 8)
                ++differing;
        }
    return differing == 0;
}

} // namespace

class TestWidget final : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    void writeConfig(const QByteArray& text)
    {
        QFile file(configFilePath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text);
    }

    // Qt caches settings files by path and may miss a rewrite of the same size within one
    // clock tick, so tests that rewrite the file give every configuration a file of its own.
    void useFreshConfig()
    {
        static int serial = 0;
        overrideConfigFilePath(dir.filePath(QStringLiteral("fresh%1.ini").arg(++serial)));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        fixture = new WindowFixture;
    }

    void cleanupTestCase()
    {
        delete fixture;
        fixture = nullptr;
    }

    void init()
    {
        overrideConfigFilePath(dir.filePath(QStringLiteral("scanConfig.ini")));
        QFile::remove(configFilePath());
    }

    void formBuildsTheWholeTree()
    {
        QWidget bare;
        Ui::Widget form;
        form.setupUi(&bare);
        QCOMPARE(bare.objectName(), QStringLiteral("Widget"));
        QCOMPARE(bare.windowTitle(), QStringLiteral("Widget"));
        QCOMPARE(bare.size(), QSize(653, 498));
        QCOMPARE(bare.minimumSize(), QSize(653, 498));
        QCOMPARE(bare.maximumSize(), QSize(653, 498));
        QCOMPARE(bare.styleSheet(), QString::fromLatin1(kWindowStyleSheet));

        const QStringList actual = describeWindow(bare);
        const QStringList expected = expectedForm();
        for (int i = 0; i < qMin(actual.size(), expected.size()); ++i)
            QCOMPARE(actual.at(i), expected.at(i));
        QCOMPARE(actual.size(), expected.size());

        // A window that already has a name keeps it.
        QWidget named;
        named.setObjectName(QStringLiteral("mine"));
        Ui::Widget().setupUi(&named);
        QCOMPARE(named.objectName(), QStringLiteral("mine"));
    }

    void windowStartsWithIdleTools()
    {
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        QCOMPARE(window.windowTitle(), QStringLiteral("Imagra Ostra"));
        QCOMPARE(window.styleSheet(), QString::fromLatin1(kWindowStyleSheet));

        // The window is the form, except that the tools start idle: one rule, no hover.
        QStringList expected = expectedForm();
        for (const auto& [name, image] : kTools) {
            const auto at = std::find_if(expected.begin(), expected.end(), [&](const QString& l) {
                return l.contains(QLatin1Char(' ') + QLatin1String(name) + QLatin1Char(' '));
            });
            QVERIFY(at != expected.end());
            at->replace(QRegularExpression(QStringLiteral("style=.*$")),
                        QStringLiteral("style=\"") + idleRule(name, image) + '"');
        }
        QCOMPARE(describeWindow(window), expected);

        for (const auto& tool : kTools)
            QVERIFY2(!window.findChild<QPushButton*>(QLatin1String(tool.first))->isEnabled(),
                     tool.first);
        QVERIFY(window.findChild<QPushButton*>(QStringLiteral("pushButton_close"))->isEnabled());
        QVERIFY(window.findChild<QPushButton*>(QStringLiteral("pushButton_updata"))->isEnabled());
        // With no device, the selector is empty and no network name shows.
        QCOMPARE(window.findChild<QComboBox*>(QStringLiteral("comboBox_wifi"))->count(), 0);
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("label_9"))->text(), QString());
    }

    void windowCannotBeResizedAndHasNoTitleBar()
    {
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        QCOMPARE(window.windowFlags() & ~Qt::WindowType_Mask, Qt::CustomizeWindowHint);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(900, 700);
        QCOMPARE(window.size(), QSize(653, 498));
        window.resize(300, 200);
        QCOMPARE(window.size(), QSize(653, 498));
        window.showMaximized();
        QCOMPARE(window.size(), QSize(653, 498));
    }

    void modeAndAutoSaveShowAtStart_data()
    {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<bool>("hd");
        QTest::addColumn<bool>("ultraHD");
        QTest::addColumn<bool>("autoSave");
        QTest::newRow("nothing set") << QByteArray() << false << false << false;
        QTest::newRow("HD") << QByteArray("ProType=1\nAutoSave=1") << true << false << true;
        QTest::newRow("Ultra HD") << QByteArray("ProType=2\nAutoSave=0") << false << true << false;
        QTest::newRow("unknown mode")
            << QByteArray("ProType=7\nAutoSave=5") << false << true << true;
        QTest::newRow("no number") << QByteArray("ProType=HD") << false << false << false;
    }

    void modeAndAutoSaveShowAtStart()
    {
        QFETCH(QByteArray, config);
        QFETCH(bool, hd);
        QFETCH(bool, ultraHD);
        QFETCH(bool, autoSave);
        useFreshConfig();
        writeConfig("[IMAHE]\n" + config + "\n");
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        auto* hdButton = window.findChild<QRadioButton*>(QStringLiteral("radioButton_hd"));
        auto* ultraButton = window.findChild<QRadioButton*>(QStringLiteral("radioButton_ultraHD"));
        auto* autoButton = window.findChild<QRadioButton*>(QStringLiteral("radioButton_auto_save"));
        QCOMPARE(hdButton->isChecked(), hd);
        QCOMPARE(ultraButton->isChecked(), ultraHD);
        QCOMPARE(autoButton->isChecked(), autoSave);

        // The two modes are one exclusive group; auto-save stands apart from it.
        const auto groups = window.findChildren<QButtonGroup*>();
        QCOMPARE(groups.size(), 1);
        QButtonGroup* group = groups.first();
        QVERIFY(group->exclusive());
        QCOMPARE(group->id(hdButton), 1);
        QCOMPARE(group->id(ultraButton), 2);
        QCOMPARE(autoButton->group(), nullptr);
        QCOMPARE(hdButton->parentWidget(), &window);
        QCOMPARE(autoButton->parentWidget(), &window);
        ultraButton->setChecked(true);
        hdButton->setChecked(true);
        QVERIFY(!ultraButton->isChecked());
        QCOMPARE(autoButton->isChecked(), autoSave);
    }

    void textsComeFromTheWidgetContext()
    {
        MarkingTranslator translator;
        QVERIFY(QCoreApplication::installTranslator(&translator));
        QWidget bare;
        Ui::Widget form;
        form.setupUi(&bare);
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        QCoreApplication::removeTranslator(&translator);

        QCOMPARE(bare.windowTitle(), QStringLiteral("<Widget>"));
        QCOMPARE(form.label_4->text(), QStringLiteral("<Ostra>"));
        QCOMPARE(form.label_3->text(), QStringLiteral("<Wifi State>"));
        QCOMPARE(form.radioButton_ultraHD->text(), QStringLiteral("<Ultra HD>"));
        // Style sheets are no texts; a translation must never reach them.
        QVERIFY(!form.pushButton_close->styleSheet().contains(QLatin1Char('<')));
        QCOMPARE(window.findChild<QLabel*>(QStringLiteral("label_10"))->text(),
                 QStringLiteral("<Calibration>"));
        QCOMPARE(window.windowTitle(), QStringLiteral("Imagra Ostra"));
    }

    // Every image the style sheets name is compiled in, and a border image has exactly the
    // size of its widget, so nothing is stretched when it is drawn.
    void everyImageIsThereAtItsSizeOfUse()
    {
        QWidget bare;
        Ui::Widget form;
        form.setupUi(&bare);
        bare.layout()->activate();
        QList<QWidget*> widgets = bare.findChildren<QWidget*>();
        widgets.prepend(&bare);
        int checked = 0;
        for (QWidget* widget : widgets) {
            for (const auto& [kind, path] : imagesNamedIn(widget->styleSheet())) {
                const QImage image(path);
                QVERIFY2(!image.isNull(), qPrintable(path));
                const QSize expected =
                    kind == QLatin1String("image") ? QSize(16, 16) : widget->size();
                QVERIFY2(image.size() == expected,
                         qPrintable(path + QStringLiteral(" on ") + widget->objectName()));
                ++checked;
            }
        }
        QCOMPARE(checked, 2 + 7 * 2 + 2);

        for (int n = 1; n <= 29; ++n)
            QVERIFY2(QFile::exists(QStringLiteral(":/images/1 (%1).png").arg(n)),
                     qPrintable(QString::number(n)));
        // The lit and animated device icons replace the dimmed one in the same label.
        QCOMPARE(QImage(QStringLiteral(":/images/1 (21).png")).size(), QSize(24, 24));
        QImageReader animated(QStringLiteral(":/images/1 (1).gif"));
        QVERIFY(animated.supportsAnimation());
        QVERIFY(animated.imageCount() > 1);
        QCOMPARE(animated.read().size(), QSize(24, 24));
        // The hotspot program's state images share the Wi-Fi icon's size.
        for (int n : {9, 10, 12, 13})
            QCOMPARE(QImage(QStringLiteral(":/images/1 (%1).png").arg(n)).size(), QSize(24, 24));
    }

    void hoverShowsTheHoverImage()
    {
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        auto* close = window.findChild<QPushButton*>(QStringLiteral("pushButton_close"));
        auto* update = window.findChild<QPushButton*>(QStringLiteral("pushButton_updata"));
        const QRect closeArea(close->mapTo(&window, QPoint(0, 0)), close->size());
        const QRect updateArea(update->mapTo(&window, QPoint(0, 0)), update->size());

        QTest::mouseMove(&window, QPoint(300, 250));
        QVERIFY(
            showsImage(window.grab(closeArea).toImage(), QStringLiteral(":/images/1 (18).png")));
        QVERIFY(
            showsImage(window.grab(updateArea).toImage(), QStringLiteral(":/images/1 (16).png")));

        QTest::mouseMove(close);
        QTRY_VERIFY(close->underMouse());
        QVERIFY(
            showsImage(window.grab(closeArea).toImage(), QStringLiteral(":/images/1 (17).png")));
        QVERIFY(
            showsImage(window.grab(updateArea).toImage(), QStringLiteral(":/images/1 (16).png")));
        QTest::mouseMove(update);
        QTRY_VERIFY(update->underMouse());
        QVERIFY(
            showsImage(window.grab(updateArea).toImage(), QStringLiteral(":/images/1 (15).png")));
        QVERIFY(
            showsImage(window.grab(closeArea).toImage(), QStringLiteral(":/images/1 (18).png")));
    }

    // Each close event, whatever closes the window, sends one "1000" to the data source.
    void everyCloseSendsOneCloseNotification()
    {
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        useFreshConfig();
        writeConfig("[UDP]\nPort=" + QByteArray::number(listener.localPort()) + "\n");
        {
            const std::lock_guard<std::mutex> locker(capturedLock);
            captured.clear();
        }
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        {
            auto windowOwner = fixture->make();
            Widget& window = *windowOwner;
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("pushButton_close")),
                              Qt::LeftButton);
            QVERIFY(!window.isVisible());
            window.show();
            QVERIFY(window.close());
        }
        qInstallMessageHandler(previous);
        {
            // A later sender marks the end: anything before it came from the window.
            UDPSocket marker;
            marker.start();
            marker.wait();
            marker.UDPSendDataScan();
        }
        QByteArrayList received;
        while (received.size() < 3 &&
               (listener.hasPendingDatagrams() || listener.waitForReadyRead(10000)))
            received.append(listener.receiveDatagram().data());
        QCOMPARE(received, QByteArrayList({"1000", "1000", "1001"}));

        const QStringList records = capturedFrom(QStringLiteral("Widget"));
        QCOMPARE(records.filter(QStringLiteral("closeEvent Start")).size(), 2);
        QCOMPARE(records.filter(QStringLiteral("closeEvent End")).size(), 2);
        QVERIFY(capturedFrom(QStringLiteral("UDPSocket"))
                    .contains(QStringLiteral(
                        "\"UDPSocket\" \"UDPSendDataClose Start \" QVariant(QString, \"\") \n")));
    }

    // With no Wi-Fi adapter and no hotspot program, the tick closes the window from inside
    // its message boxes; the teardown must wait for the tick, whichever box goes first.
    void closingFromTheTicksMessageBoxesEndsCleanly_data()
    {
        QTest::addColumn<QString>("order");
        QTest::newRow("OK on the hotspot box after discovery gave up, then on the Wi-Fi box")
            << QStringLiteral("hotspot-box-first");
        QTest::newRow("window closed while the hotspot box is open, then OK")
            << QStringLiteral("window-first");
    }
    void closingFromTheTicksMessageBoxesEndsCleanly()
    {
        QFETCH(QString, order);
        QUdpSocket listener;
        QVERIFY(listener.bind(QHostAddress(QHostAddress::LocalHost), 0));
        useFreshConfig();
        writeConfig("[UDP]\nPort=" + QByteArray::number(listener.localPort()) + "\n");
        QProcess program;
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.start(QStringLiteral(CLOSE_HARNESS), {configFilePath(), order});
        QVERIFY(program.waitForFinished(30000));
        QCOMPARE(program.exitStatus(), QProcess::NormalExit);
        QCOMPARE(program.exitCode(), 0);
        QByteArrayList received;
        while (listener.hasPendingDatagrams() ||
               (received.isEmpty() && listener.waitForReadyRead(5000)))
            received.append(listener.receiveDatagram().data());
        QCOMPARE(received, QByteArrayList{"1000"});
    }

    void defaultsWithoutAFile()
    {
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        QCOMPARE(window.picturePath(), QString());
        QVERIFY(!window.autoSaveEnabled());
        QCOMPARE(window.processingType(), 0);
        QCOMPARE(window.windowTitle(), QStringLiteral("Imagra Ostra"));
        QCOMPARE(window.size(), QSize(653, 498));
        QCOMPARE(window.minimumSize(), window.maximumSize());
        QCOMPARE(window.objectName(), QStringLiteral("Widget"));
        QVERIFY(!QFile::exists(configFilePath()));
    }

    void settingsAreLoaded()
    {
        const QString picture = dir.filePath(QStringLiteral("deep/er/scan.bmp"));
        writeConfig("[IMAHE]\nAutoSave=1\nProType=7\nImageScanPth=" + picture.toUtf8() + "\n");
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        QVERIFY(window.autoSaveEnabled());
        QCOMPARE(window.processingType(), 7);
        QCOMPARE(window.picturePath(), picture);
        // The folder is made so that the first save can write; the file itself is not.
        QVERIFY(QFileInfo(QFileInfo(picture).absolutePath()).isDir());
        QVERIFY(!QFileInfo::exists(picture));
    }

    void nonNumericSettingsCountAsZero()
    {
        writeConfig("[IMAHE]\nAutoSave=yes\nProType=HD\n");
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        QVERIFY(!window.autoSaveEnabled());
        QCOMPARE(window.processingType(), 0);
    }

    void constructionEmitsPairedTraceRecords()
    {
        captured.clear();
        const QtMessageHandler previous = qInstallMessageHandler(capture);
        fixture->make().reset();
        qInstallMessageHandler(previous);
        // The bridge's own records come from its thread and are checked with the bridge.
        const QStringList expected = {
            QStringLiteral("\"Widget\" \"Init Start\" QVariant(QString, \"\") \n"),
            QStringLiteral("\"Widget\" \"Init End\" QVariant(QString, \"\") \n"),
            QStringLiteral("\"Widget\" \"InitOstra Start\" QVariant(QString, \"\") \n"),
            QStringLiteral("\"Widget\" \"InitOstra End\" QVariant(QString, \"\") \n"),
        };
        QCOMPARE(capturedFrom(QStringLiteral("Widget")), expected);
    }

    void appearanceIsThirteenPixelsAndDarkDropDowns()
    {
        QFont large = QApplication::font();
        large.setPointSize(24);
        QApplication::setFont(large);
        applyImagraAppearance(*qApp);
        auto windowOwner = fixture->make();
        Widget& window = *windowOwner;
        QComboBox combo(&window);
        QCOMPARE(combo.font().pixelSize(), 13);
        QCOMPARE(QApplication::font().family(), QStringLiteral("Microsoft YaHei"));
        QCOMPARE(qApp->styleSheet(),
                 QStringLiteral("QComboBox QAbstractItemView {            outline: 1px solid "
                                "rgb(18,47,73);            color: rgb(164,177,196);            "
                                "background-color: rgb(22,24,28);            "
                                "selection-background-color: rgb(18,47,73);            }"));
        combo.view()->ensurePolished();
        QCOMPARE(combo.view()->palette().color(QPalette::Base), QColor(22, 24, 28));
    }
};

QTEST_MAIN(TestWidget)
#include "tst_widget.moc"
