// The browse tree and the walk behind "Import Selected", over an address space in memory:
// children asked for only on expand and only once, check states that follow a folder's and
// roll up to it, the targets a partly checked tree stands for, browse failures, and a walk
// that cuts loops, visits each node once and leaves out what a tag list cannot hold.

#include <QSignalSpy>
#include <QTreeView>
#include <memory>
#include <string>
#include <vector>

#include "Kestrane/browsetreemodel.h"
#include "Kestrane/browsewalk.h"
#include "fakeaddressspace.h"
#include "testsupport.h"

namespace {

const std::string kNs = "nsu=urn:test:plant;s=";

std::vector<std::string> names(const std::vector<kestrane_config::TagEntry>& tags) {
  std::vector<std::string> out;
  for (const auto& tag : tags) out.push_back(tag.name);
  return out;
}

}  // namespace

class TestBrowseTreeModel : public QObject {
  Q_OBJECT

 private slots:
  void init() {
    space_ = make_plant();
    model_ = std::make_unique<BrowseTreeModel>();
    // Answered at once, as the worker would answer later.
    QObject::connect(model_.get(), &BrowseTreeModel::fetch_requested, model_.get(),
                     [this](quint64 key, const QString& node_id) {
                       try {
                         model_->add_children(key, space_->children(node_id.toStdString()));
                       } catch (const std::exception& e) {
                         model_->fetch_failed(key, QString::fromUtf8(e.what()));
                       }
                     });
    view_ = std::make_unique<QTreeView>();
    view_->setModel(model_.get());
    view_->show();
    QVERIFY(QTest::qWaitForWindowExposed(view_.get()));
  }
  void cleanup() {
    view_.reset();
    model_.reset();
  }

  void ChildrenAreAskedForOnlyOnExpandAndOnlyOnce() {
    QCOMPARE(space_->calls(kObjectsFolderId), 1);
    QCOMPARE(model_->rowCount(), 2);
    QCOMPARE(space_->calls(kNs + "Plant"), 0);
    QVERIFY(model_->hasChildren(plant()));  // unknown yet, so expandable

    expand(plant());
    collapse(plant());
    expand(plant());
    QCOMPARE(space_->calls(kNs + "Plant"), 1);
    QCOMPARE(model_->rowCount(plant()), 3);
    QCOMPARE(space_->calls(kNs + "Boiler"), 0);

    const QModelIndex empty = child(plant(), "Empty");
    expand(empty);
    QVERIFY(!model_->hasChildren(empty));
    QVERIFY(!model_->canFetchMore(empty));
  }

  void CheckingAFolderChecksWhatIsLoadedAndWhatComesLater() {
    expand(plant());
    check(plant(), Qt::Checked);
    const QModelIndex boiler = child(plant(), "Boiler");
    QCOMPARE(state(boiler), Qt::Checked);

    expand(boiler);
    const QModelIndex temp = child(boiler, "Temp");
    QCOMPARE(state(temp), Qt::Checked);

    check(temp, Qt::Unchecked);
    QCOMPARE(state(boiler), Qt::PartiallyChecked);
    QCOMPARE(state(plant()), Qt::PartiallyChecked);
    check(temp, Qt::Checked);
    QCOMPARE(state(boiler), Qt::Checked);
    QCOMPARE(state(plant()), Qt::Checked);

    check(plant(), Qt::Unchecked);
    QCOMPARE(state(temp), Qt::Unchecked);
    QVERIFY(!model_->has_checked());
    // A partial state is the tree's conclusion, never an input.
    QVERIFY(!model_->setData(plant(), Qt::PartiallyChecked, Qt::CheckStateRole));
  }

  void TargetsAreTheTopmostCheckedNodesWithTheirPaths() {
    expand(plant());
    check(child(plant(), "Boiler"), Qt::Checked);
    // Loaded under a partly checked folder, Pumps and Pump1 come unchecked.
    const QModelIndex pumps = child(plant(), "Pumps");
    expand(pumps);
    const QModelIndex pump1 = child(pumps, "Pump1");
    expand(pump1);
    check(child(pump1, "Speed"), Qt::Checked);

    const std::vector<BrowseTarget> targets = model_->checked_targets();
    QCOMPARE(targets.size(), std::size_t{2});
    QCOMPARE(targets[0].node.node_id, kNs + "Boiler");
    QCOMPARE(targets[0].path, std::string("Plant/Boiler"));
    QCOMPARE(targets[1].node.node_id, kNs + "Pump1.Speed");
    QCOMPARE(targets[1].path, std::string("Plant/Pumps/Pump1/Speed"));
  }

  void FailedBrowseMarksTheNodeAndIsNotRetried() {
    space_->fail(kNs + "Plant", "BadUserAccessDenied");
    expand(plant());
    collapse(plant());
    expand(plant());
    QCOMPARE(space_->calls(kNs + "Plant"), 1);
    QVERIFY(!model_->hasChildren(plant()));
    QVERIFY(model_->data(plant(), Qt::ToolTipRole).toString().contains("BadUserAccessDenied"));
    // A late or repeated answer for a settled request changes nothing.
    model_->add_children(1, {folder("x", "x")});
    QCOMPARE(model_->rowCount(), 2);
  }

  void VariablesShowTheirTypeAtOnceAndValueAndUnitWhenRead() {
    QSignalSpy asked(model_.get(), &BrowseTreeModel::details_requested);
    expand(plant());
    QCOMPARE(asked.count(), 0);  // folders only: nothing to read
    const QModelIndex boiler = child(plant(), "Boiler");
    expand(boiler);
    QCOMPARE(asked.count(), 1);
    const auto key = asked.at(0).at(0).value<quint64>();
    QCOMPARE(asked.at(0).at(1).value<std::vector<std::string>>(),
             (std::vector<std::string>{kNs + "Boiler.Temp", kNs + "Boiler.Pressure",
                                       kNs + "Boiler.Status", kNs + "Flow"}));
    const auto cell = [&](const char* name, int column, int role = Qt::DisplayRole) {
      return model_->index(child(boiler, name).row(), column, boiler).data(role);
    };
    QCOMPARE(cell("Temp", BrowseTreeModel::kDataTypeColumn).toString(), QStringLiteral("Double"));
    QCOMPARE(cell("Status", BrowseTreeModel::kDataTypeColumn).toString(), QStringLiteral("String"));
    QVERIFY(cell("Temp", BrowseTreeModel::kValueColumn).isNull());
    QCOMPARE(model_->headerData(BrowseTreeModel::kUnitColumn, Qt::Horizontal).toString(),
             QStringLiteral("Unit"));

    pyqar::VariableDetails temp;
    temp.value = "12.5";
    temp.unit = "\u00b0C";
    pyqar::VariableDetails waiting;
    waiting.status = "BadWaitingForInitialData";
    pyqar::VariableDetails uncertain;
    uncertain.value = "3";
    uncertain.status = "UncertainLastUsableValue";
    pyqar::VariableDetails failed;
    failed.error = "BadUserAccessDenied";
    model_->add_details(key, {temp, waiting, uncertain, failed});
    QCOMPARE(cell("Temp", BrowseTreeModel::kValueColumn).toString(), QStringLiteral("12.5"));
    QCOMPARE(cell("Temp", BrowseTreeModel::kUnitColumn).toString(), QStringLiteral("\u00b0C"));
    QCOMPARE(cell("Pressure", BrowseTreeModel::kValueColumn).toString(),
             QStringLiteral("BadWaitingForInitialData"));
    QCOMPARE(cell("Status", BrowseTreeModel::kValueColumn).toString(),
             QStringLiteral("3 (UncertainLastUsableValue)"));
    QCOMPARE(cell("Flow", BrowseTreeModel::kValueColumn).toString(), QStringLiteral("?"));
    QVERIFY(cell("Flow", BrowseTreeModel::kValueColumn, Qt::ToolTipRole)
                .toString()
                .contains(QStringLiteral("BadUserAccessDenied")));
    // A repeated answer changes nothing.
    model_->add_details(key, {failed, failed, failed, failed});
    QCOMPARE(cell("Temp", BrowseTreeModel::kValueColumn).toString(), QStringLiteral("12.5"));
  }

  void CheckedFolderYieldsEveryNumericVariableBelowItOnce() {
    // Plant reaches Flow twice and itself again through Pump1.
    const BrowseWalkResult result =
        collect_variables(*source(), {{folder(kNs + "Plant", "Plant"), "Plant"}});
    const std::vector<std::string> expected = {kNs + "Boiler.Temp", kNs + "Boiler.Pressure",
                                               kNs + "Flow", kNs + "Pump1.Speed",
                                               kNs + "Pump1.Running"};
    QCOMPARE(names(result.tags), expected);
    QCOMPARE(result.not_numeric, std::size_t{1});
    QCOMPARE(space_->calls(kNs + "Plant"), 1);
    QCOMPARE(space_->calls(kNs + "Flow"), 1);
    QVERIFY(!result.cancelled);
  }

  void DescriptionFallsBackToTheBrowsePath() {
    space_->add(kNs + "Empty", variable(kNs + "Odd", "Odd", true, "line one\nline two\t "));
    const BrowseWalkResult result =
        collect_variables(*source(), {{folder(kNs + "Plant", "Plant"), "Plant"}});
    QCOMPARE(result.tags[0].description, std::string("Boiler temperature"));
    QCOMPARE(result.tags[1].description, std::string("Plant/Boiler/Pressure"));
    // The walk reaches Flow first through Boiler, so that path names it.
    QCOMPARE(result.tags[2].description, std::string("Plant/Boiler/Flow"));
    QCOMPARE(result.tags.back().name, kNs + "Odd");
    QCOMPARE(result.tags.back().description, std::string("line one line two"));
  }

  void NodeIdsTooLongForATagNameAreLeftOut() {
    space_->add(kNs + "Empty", variable(kNs + std::string(300, 'x'), "Long"));
    space_->add(kNs + "Empty", variable(kNs + "Short", "Short"));
    const BrowseWalkResult result =
        collect_variables(*source(), {{folder(kNs + "Empty", "Empty"), "Plant/Empty"}});
    QCOMPARE(names(result.tags), std::vector<std::string>{kNs + "Short"});
    QCOMPARE(result.too_long, std::size_t{1});
  }

  void ALargeFolderIsWalkedInFewRequests() {
    // A source that answers many nodes per request, as the OPC UA client does.
    class BatchingSource : public BrowseSource {
     public:
      std::vector<pyqar::BrowsedNode> children(const std::string& node_id) override {
        return children_of_each({node_id}).at(0);
      }
      std::vector<std::vector<pyqar::BrowsedNode>> children_of_each(
          const std::vector<std::string>& node_ids) override {
        ++requests;
        std::vector<std::vector<pyqar::BrowsedNode>> lists;
        for (const std::string& id : node_ids) {
          std::vector<pyqar::BrowsedNode> list;
          if (id == kNs + "Big") {
            for (int i = 0; i < 1200; ++i) {
              list.push_back(variable(kNs + "V" + std::to_string(i), "V" + std::to_string(i)));
            }
            list.push_back(folder(kNs + "Big", "Big"));  // a loop back to the top
          }
          lists.push_back(std::move(list));
        }
        return lists;
      }
      int requests = 0;
    } source;
    const BrowseWalkResult result =
        collect_variables(source, {{folder(kNs + "Big", "Big"), "Big"}});
    QCOMPARE(result.tags.size(), std::size_t{1200});
    QCOMPARE(result.tags.front().name, kNs + "V0");
    QCOMPARE(result.tags.back().description, std::string("Big/V1199"));
    // The folder, then its 1,200 variables in a few requests: not one request per node.
    QVERIFY2(source.requests <= 5, std::to_string(source.requests).c_str());
  }

  void CancelledWalkStopsAndSaysSo() {
    int asked = 0;
    const BrowseWalkResult result =
        collect_variables(*source(), {{folder(kNs + "Plant", "Plant"), "Plant"}},
                          {.cancelled = [&asked] { return ++asked > 2; }, .progress = {}});
    QVERIFY(result.cancelled);
    QCOMPARE(space_->calls(kNs + "Pump1"), 0);
  }

 private:
  // As the operator's click on the expander: the view fetches when it lays the rows out.
  void expand(const QModelIndex& index) {
    view_->expand(index);
    QCoreApplication::processEvents();
  }
  void collapse(const QModelIndex& index) {
    view_->collapse(index);
    QCoreApplication::processEvents();
  }
  std::unique_ptr<BrowseSource> source() { return space_->factory()("opc.tcp://fake"); }
  QModelIndex plant() const { return model_->index(0, 0); }
  QModelIndex child(const QModelIndex& parent, const QString& name) const {
    for (int row = 0; row < model_->rowCount(parent); ++row) {
      const QModelIndex index = model_->index(row, 0, parent);
      if (index.data().toString() == name) return index;
    }
    qFatal("no child %s", qPrintable(name));
  }
  Qt::CheckState state(const QModelIndex& index) const {
    return index.data(Qt::CheckStateRole).value<Qt::CheckState>();
  }
  void check(const QModelIndex& index, Qt::CheckState state) {
    QVERIFY(model_->setData(index, state, Qt::CheckStateRole));
  }

  std::shared_ptr<FakeAddressSpace> space_;
  std::unique_ptr<BrowseTreeModel> model_;
  std::unique_ptr<QTreeView> view_;
};

KESTRANE_TEST_MAIN(TestBrowseTreeModel)

#include "tst_browsetreemodel.moc"
