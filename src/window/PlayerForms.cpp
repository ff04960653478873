#include "window/PlayerForms.h"

#include "logic/FileSize.h"
#include "window/WrappingToolBar.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QSessionManager>
#include <QSlider>
#include <QStatusBar>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>
#include <algorithm>

namespace {

constexpr int kClientWidth = 782;
constexpr int kClientHeight = 505;
constexpr int kStripHeight = 30;
// The toolbar's holder leaves this much of the strip to the seek bar and Loop.
constexpr int kToolBarHolderMargin = 340;
constexpr int kStatusBarHeight = 19; // not scaled
constexpr int kTimerIntervalMs = 500;
constexpr uint32_t kOutputRate = 44100;
constexpr const char *kWebAddress = "https://sorvano.example/";

// The design's window font: 8 points, a text height of 16 at 120 dpi.
QFont designFont()
{
    QFont font(QStringLiteral("Tahoma"));
    font.setPointSize(8);
    return font;
}

// Text height of font on a device of the given density.
int textHeightAt(const QFont &font, int dpi)
{
    QImage probe(1, 1, QImage::Format_RGB32);
    const int dotsPerMeter = qRound(dpi / 0.0254);
    probe.setDotsPerMeterX(dotsPerMeter);
    probe.setDotsPerMeterY(dotsPerMeter);
    return QFontMetrics(font, &probe).height();
}

// Gives every caption without an access letter the first of its characters
// whose upper-case form is still free, top to bottom.
void assignAccessLetters(const QList<QAction *> &items)
{
    QString free = QStringLiteral("1234567890ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    for (QAction *item : items) {
        if (item->isSeparator())
            continue;
        QString caption = item->text();
        for (int i = 0; i < caption.size(); ++i) {
            const int slot = free.indexOf(caption.at(i).toUpper());
            if (slot < 0)
                continue;
            free.remove(slot, 1);
            caption.insert(i, QLatin1Char('&'));
            break;
        }
        item->setText(caption);
    }
}

} // namespace

static void initResources()
{
    Q_INIT_RESOURCE(sorvano);
}

TPlayerForm::TPlayerForm(audio::IAudioEngine &engine, IPrompts &prompts, QWidget *parent)
    : QWidget(parent), FEngine(engine), FPrompts(prompts)
{
    initResources();
    setObjectName(QStringLiteral("PlayerForm"));
    CreateComponents();
    WireCommands();
    FormCreate();
}

TPlayerForm::~TPlayerForm()
{
    FormDestroy();
}

void TPlayerForm::CreateComponents()
{
    setWindowTitle(QCoreApplication::applicationName());
    setWindowIcon(QIcon(QStringLiteral(":/icons/sorvano.svg")));
    setFont(designFont());
    setAcceptDrops(false);
    FScale = double(QFontMetrics(font(), this).height()) / textHeightAt(font(), 120);

    FPlaylist = new PlaylistModel(this);
    ListView = new QTreeView(this);
    ListView->setObjectName(QStringLiteral("ListView"));
    ListView->setModel(FPlaylist);
    ListView->setColumnWidth(0, Scaled(500));
    ListView->setColumnWidth(1, Scaled(100));
    ListView->header()->setSectionsClickable(false);
    ListView->header()->setStretchLastSection(false);
    ListView->setRootIsDecorated(false);
    ListView->setItemsExpandable(false);
    ListView->setUniformRowHeights(true);
    ListView->setSelectionMode(QAbstractItemView::SingleSelection);
    ListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    ListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ListView->setAllColumnsShowFocus(true);
    ListView->setSortingEnabled(false);
    ListView->setDragDropMode(QAbstractItemView::NoDragDrop);
    ListView->setAcceptDrops(false);
    // Grid lines; a style sheet on items must paint the selection itself.
    ListView->setStyleSheet(
        QStringLiteral("QTreeView::item { border-right: 1px solid palette(mid);"
                       " border-bottom: 1px solid palette(mid); }"
                       "QTreeView::item:selected { background: palette(highlight);"
                       " color: palette(highlighted-text); }"));
    ListView->setFocusPolicy(Qt::StrongFocus);
    ListView->setContextMenuPolicy(Qt::NoContextMenu);
    ListView->installEventFilter(this);
    ListView->viewport()->installEventFilter(this);

    StatusBar = new QStatusBar(this);
    StatusBar->setObjectName(QStringLiteral("StatusBar"));
    StatusBar->setSizeGripEnabled(true);
    const auto addPanel = [this](const QString &text, int width, Qt::Alignment alignment) {
        auto *panel = new QLabel(text, StatusBar);
        panel->setAlignment(alignment | Qt::AlignVCenter);
        panel->setFrameShape(QFrame::StyledPanel);
        panel->setFrameShadow(QFrame::Sunken);
        if (width > 0)
            panel->setFixedWidth(width);
        StatusBar->addWidget(panel, width > 0 ? 0 : 1);
        return panel;
    };
    addPanel(QString::fromLatin1(kWebAddress), Scaled(200), Qt::AlignHCenter)
        ->setObjectName(QStringLiteral("StatusPanel1"));
    addPanel(QStringLiteral("Freeware"), Scaled(100), Qt::AlignHCenter)
        ->setObjectName(QStringLiteral("StatusPanel2"));
    addPanel(QString(), 0, Qt::AlignLeft)->setObjectName(QStringLiteral("StatusPanel3"));

    Panel3 = new QWidget(this);
    Panel3->setObjectName(QStringLiteral("Panel3"));
    Panel4 = new QWidget(Panel3);
    Panel4->setObjectName(QStringLiteral("Panel4"));
    ToolBar = new WrappingToolBar(Panel4);
    ToolBar->setObjectName(QStringLiteral("ToolBar"));
    OpenToolButton = ToolBar->addButton(QStringLiteral("OpenToolButton"), QStringLiteral("Open"));
    ToolBar->addSeparator(QStringLiteral("ToolButton4"));
    DeleteToolButton =
        ToolBar->addButton(QStringLiteral("DeleteToolButton"), QStringLiteral(" Delete "));
    ToolBar->addSeparator(QStringLiteral("ToolButton7"));
    PlayToolButton = ToolBar->addButton(QStringLiteral("PlayToolButton"), QStringLiteral("Play"));
    ToolBar->addSeparator(QStringLiteral("ToolButton1"));
    StopToolButton = ToolBar->addButton(QStringLiteral("StopToolButton"), QStringLiteral("Stop"));
    ToolBar->addSeparator(QStringLiteral("ToolButton2"));
    DecodeToolButton =
        ToolBar->addButton(QStringLiteral("DecodeToolButton"), QStringLiteral("Decode"));
    ToolBar->addSeparator(QStringLiteral("ToolButton3"));
    VerifyToolButton =
        ToolBar->addButton(QStringLiteral("VerifyToolButton"), QStringLiteral("Verify"));
    ToolBar->addSeparator(QStringLiteral("ToolButton8"));
    ExitToolButton = ToolBar->addButton(QStringLiteral("ExitToolButton"), QStringLiteral("Exit"));
    ToolBar->addSeparator(QStringLiteral("ToolButton6"));

    Panel1 = new QWidget(Panel3);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    TrackBar = new QSlider(Qt::Horizontal, Panel1);
    TrackBar->setObjectName(QStringLiteral("TrackBar"));
    TrackBar->setRange(0, 100);
    TrackBar->setSingleStep(1);
    TrackBar->setPageStep(2);
    TrackBar->setTickPosition(QSlider::TicksBelow);
    TrackBar->setTickInterval(100); // marks at the two ends only
    TrackBar->setFocusPolicy(Qt::ClickFocus);

    Panel2 = new QWidget(Panel3);
    Panel2->setObjectName(QStringLiteral("Panel2"));
    LoopCheckBox = new QCheckBox(QStringLiteral("Loop"), Panel2);
    LoopCheckBox->setObjectName(QStringLiteral("LoopCheckBox"));
    LoopCheckBox->setChecked(true);
    LoopCheckBox->setFocusPolicy(Qt::StrongFocus);

    DecodePanel = new QLabel(this);
    DecodePanel->setObjectName(QStringLiteral("DecodePanel"));
    DecodePanel->setAlignment(Qt::AlignCenter);
    DecodePanel->setFrameShape(QFrame::Panel);
    DecodePanel->setFrameShadow(QFrame::Raised);
    DecodePanel->setLineWidth(1);
    DecodePanel->setAutoFillBackground(true);
    DecodePanel->setGeometry(Scaled(292), Scaled(216), Scaled(185), Scaled(41));
    DecodePanel->hide();

    Timer = new QTimer(this);
    Timer->setObjectName(QStringLiteral("Timer"));
    Timer->setInterval(kTimerIntervalMs);

    PopupMenu = new QMenu(this);
    PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
    const auto addItem = [this](const char *name, const QString &caption,
                                const QKeySequence &shortcut) {
        QAction *item = PopupMenu->addAction(caption);
        item->setObjectName(QString::fromLatin1(name));
        item->setShortcut(shortcut);
        // Shortcuts act only while the list has the focus.
        item->setShortcutContext(Qt::WidgetShortcut);
        ListView->addAction(item);
        return item;
    };
    const auto addSeparator = [this](const char *name) {
        PopupMenu->addSeparator()->setObjectName(QString::fromLatin1(name));
    };
    OpenMenuItem =
        addItem("OpenMenuItem", QStringLiteral("Open..."), QKeySequence(Qt::CTRL | Qt::Key_O));
    addSeparator("N1");
    DeleteMenuItem =
        addItem("DeleteMenuItem", QStringLiteral("Delete"), QKeySequence(Qt::Key_Delete));
    addSeparator("N2");
    PlayMenuItem =
        addItem("PlayMenuItem", QStringLiteral("Play"), QKeySequence(Qt::CTRL | Qt::Key_P));
    StopMenuItem =
        addItem("StopMenuItem", QStringLiteral("Stop"), QKeySequence(Qt::CTRL | Qt::Key_S));
    addSeparator("N3");
    DecodeMenuItem =
        addItem("DecodeMenuItem", QStringLiteral("Decode"), QKeySequence(Qt::CTRL | Qt::Key_D));
    VerifyMenuItem =
        addItem("VerifyMenuItem", QStringLiteral("Verify"), QKeySequence(Qt::CTRL | Qt::Key_T));
    addSeparator("N4");
    ExitMenuItem = addItem("ExitMenuItem", QStringLiteral("Exit"), QKeySequence());
    assignAccessLetters(PopupMenu->actions());

    // Only the list and the Loop box are Tab stops.
    setTabOrder(ListView, LoopCheckBox);
    ListView->setFocus();

    // The buttons keep their size at every density while the strip beside them
    // shrinks, so below 120 dpi the design's width would push Exit onto the
    // row the strip cuts off: the window opens just wide enough to show it.
    const int width =
        std::max(Scaled(kClientWidth), Scaled(kToolBarHolderMargin) + ToolBar->oneRowWidth());
    resize(width, Scaled(kClientHeight));
    LayoutComponents();
}

int TPlayerForm::Scaled(int designPixels) const
{
    return qRound(designPixels * FScale);
}

void TPlayerForm::LayoutComponents()
{
    const int w = width();
    const int h = height();
    const int strip = Scaled(kStripHeight);
    Panel3->setGeometry(0, 0, w, strip);
    Panel4->setGeometry(0, 0, w - Scaled(kToolBarHolderMargin), strip);
    ToolBar->setGeometry(0, 0, Panel4->width(), ToolBar->heightForWidth(Panel4->width()));
    ToolBar->arrangeItems();
    Panel1->setGeometry(w - Scaled(2) - Scaled(263), Scaled(4), Scaled(263), Scaled(24));
    TrackBar->setGeometry(-Scaled(2), -Scaled(2), Scaled(266), Scaled(28));
    Panel2->setGeometry(w - Scaled(269) - Scaled(64), Scaled(2), Scaled(64), Scaled(26));
    LoopCheckBox->setGeometry(Scaled(7), Scaled(4), Scaled(53), Scaled(17));
    StatusBar->setGeometry(0, h - kStatusBarHeight, w, kStatusBarHeight);
    ListView->setGeometry(0, strip, w, h - strip - kStatusBarHeight);
}

void TPlayerForm::resizeEvent(QResizeEvent *)
{
    LayoutComponents();
}

void TPlayerForm::WireCommands()
{
    const auto wire = [this](QToolButton *button, QAction *item,
                             void (TPlayerForm::*handler)(QObject *)) {
        connect(button, &QToolButton::clicked, this,
                [this, button, handler] { Guarded([&] { (this->*handler)(button); }); });
        connect(item, &QAction::triggered, this,
                [this, item, handler] { Guarded([&] { (this->*handler)(item); }); });
    };
    wire(OpenToolButton, OpenMenuItem, &TPlayerForm::OpenToolButtonClick);
    wire(DeleteToolButton, DeleteMenuItem, &TPlayerForm::DeleteToolButtonClick);
    wire(PlayToolButton, PlayMenuItem, &TPlayerForm::PlayToolButtonClick);
    wire(StopToolButton, StopMenuItem, &TPlayerForm::StopToolButtonClick);
    wire(DecodeToolButton, DecodeMenuItem, &TPlayerForm::DecodeToolButtonClick);
    wire(VerifyToolButton, VerifyMenuItem, &TPlayerForm::VerifyToolButtonClick);
    wire(ExitToolButton, ExitMenuItem, &TPlayerForm::ExitToolButtonClick);

    connect(Timer, &QTimer::timeout, this, [this] { Guarded([this] { TimerTimer(); }); });
    // User moves only; program-made changes call TrackBarChange themselves.
    connect(TrackBar, &QSlider::actionTriggered, this,
            [this] { Guarded([this] { TrackBarChange(); }); });
    connect(TrackBar, &QSlider::sliderMoved, this,
            [this] { Guarded([this] { TrackBarChange(); }); });

    // The desktop's media controls follow whatever they show; the tick finds
    // a row that has played to its end.
    const auto changed = [this] { emit MediaPlayerChanged(); };
    connect(Timer, &QTimer::timeout, this, changed);
    connect(LoopCheckBox, &QCheckBox::toggled, this, changed);
    // Unticked, the current row ends and nothing follows it.
    connect(LoopCheckBox, &QCheckBox::toggled, this,
            [this] { Guarded([this] { QueueNextRow(); }); });
    connect(ListView->selectionModel(), &QItemSelectionModel::selectionChanged, this, changed);
    connect(FPlaylist, &QAbstractItemModel::rowsInserted, this, changed);
    connect(FPlaylist, &QAbstractItemModel::rowsRemoved, this, changed);

    // The desktop's log-off or shutdown query gets the close answer.
    connect(qApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &manager) {
        if (!FormCloseQuery())
            manager.cancel();
    });
}

void TPlayerForm::FormCreate()
{
    StatusBar->setFont(font());
    FCurrentIndex = -1;
    FCurrentLength = -1;
    SetTrackBarPosition(0);
    FTimerUpdating = false;
    FBalloonShown = false;

    if ((FEngine.GetVersion() >> 16) != (audio::kEngineVersion >> 16)) {
        FPrompts.message(MessageKind::Error,
                         QStringLiteral("An incorrect version of the audio library was loaded."));
        FStartupAborted = true;
        return;
    }
    void *window = reinterpret_cast<void *>(winId());
    if (!FEngine.Init(-1, kOutputRate, 0, window))
        FPrompts.message(MessageKind::Error, QStringLiteral("Error initializing audio."));

    readDecimalSeparator();
    SetUpTray();
    Timer->start();
}

void TPlayerForm::FormDestroy()
{
    Timer->stop();
    for (int i = 0; i < RowCount(); ++i)
        FEngine.StreamFree(RowStream(i));
    FEngine.Free();
}

bool TPlayerForm::FormCloseQuery() const
{
    return ExitToolButton->isEnabled();
}

void TPlayerForm::closeEvent(QCloseEvent *event)
{
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    emit CloseAccepted();
}

void TPlayerForm::ExitToolButtonClick(QObject *)
{
    close();
}

bool TPlayerForm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != ListView && watched != ListView->viewport())
        return QWidget::eventFilter(watched, event);

    bool fromKeyboard = false;
    QPoint globalPos;
    if (event->type() == QEvent::ContextMenu) {
        auto *menuEvent = static_cast<QContextMenuEvent *>(event);
        fromKeyboard = menuEvent->reason() == QContextMenuEvent::Keyboard;
        globalPos = menuEvent->globalPos();
    } else if (event->type() == QEvent::KeyPress) {
        auto *key = static_cast<QKeyEvent *>(event);
        if (key->key() != Qt::Key_F10 || key->modifiers() != Qt::ShiftModifier)
            return false;
        fromKeyboard = true;
    } else {
        return false;
    }
    if (!ListView->isEnabled())
        return true;
    ListView->setFocus(Qt::PopupFocusReason);
    if (fromKeyboard) {
        const int row = SelectedRow();
        const QPoint local = row >= 0 ? RowRect(row).center() : QPoint(0, 0);
        globalPos = ListView->viewport()->mapToGlobal(local);
    }
    PopupMenu->popup(globalPos);
    return true;
}

void TPlayerForm::SetTrackBarPosition(int position)
{
    position = std::clamp(position, TrackBar->minimum(), TrackBar->maximum());
    if (position == TrackBar->value())
        return;
    TrackBar->setValue(position);
    TrackBarChange();
}

void TPlayerForm::ReportError(const QString &message)
{
    FPrompts.errorReport(errorReportText(message));
}

void TPlayerForm::SetLockedOut(bool locked)
{
    const QList<QObject *> lockOut = {
        OpenToolButton,   DeleteToolButton, PlayToolButton, StopToolButton, DecodeToolButton,
        VerifyToolButton, ExitToolButton,   LoopCheckBox,   TrackBar,       OpenMenuItem,
        DeleteMenuItem,   PlayMenuItem,     StopMenuItem,   DecodeMenuItem, VerifyMenuItem,
        ExitMenuItem,     ListView};
    for (QObject *item : lockOut) {
        if (auto *widget = qobject_cast<QWidget *>(item))
            widget->setEnabled(!locked);
        else if (auto *action = qobject_cast<QAction *>(item))
            action->setEnabled(!locked);
    }
    emit MediaPlayerChanged();
}
