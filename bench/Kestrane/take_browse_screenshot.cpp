// Takes the picture of the "Browse Server…" dialog over a small plant held in memory (no server
// needed): two folders open, a folder and one variable checked. Run under Xvfb:
//   xvfb-run -s "-screen 0 1280x900x24" kestrane_browse_screenshot <out.png>

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Kestrane/browsedialog.h"
#include "Kestrane/browsesource.h"
#include "Kestrane/browsetreemodel.h"

namespace {

constexpr int kSettleMsec = 1500;

pyqar::BrowsedNode node(const std::string& id, const std::string& name, bool is_variable,
                        bool numeric = true, const std::string& description = {}) {
  const std::string full = "nsu=urn:example:plant;s=" + id;
  return {.node_id = full,
          .index_node_id = "ns=2;s=" + id,
          .browse_name = name,
          .display_name = name,
          .description = description,
          .is_variable = is_variable,
          .numeric = numeric,
          .data_type = !is_variable ? ""
                       : numeric    ? "Double"
                                    : "String"};
}

class PlantSource : public BrowseSource {
 public:
  PlantSource() {
    const std::string ns = "nsu=urn:example:plant;s=";
    tree_[kObjectsFolderId] = {node("Plant", "Plant", false),
                               {.node_id = "i=2253",
                                .index_node_id = "i=2253",
                                .browse_name = "Server",
                                .display_name = "Server",
                                .description = {},
                                .is_variable = false,
                                .numeric = false,
                                .data_type = {}}};
    tree_[ns + "Plant"] = {node("Boiler", "Boiler", false), node("Pumps", "Pumps", false),
                           node("Tank", "Tank", false)};
    tree_[ns + "Boiler"] = {node("Boiler.Temp", "Temperature", true, true, "Drum temperature"),
                            node("Boiler.Pressure", "Pressure", true),
                            node("Boiler.Level", "Level", true),
                            node("Boiler.Mode", "Mode", true, false)};
    tree_[ns + "Pumps"] = {node("Pump1", "Pump1", false), node("Pump2", "Pump2", false)};
    tree_[ns + "Pump1"] = {node("Pump1.Speed", "Speed", true),
                           node("Pump1.Running", "Running", true)};
  }
  std::vector<pyqar::BrowsedNode> children(const std::string& node_id) override {
    const auto found = tree_.find(node_id);
    return found == tree_.end() ? std::vector<pyqar::BrowsedNode>{} : found->second;
  }

 private:
  std::map<std::string, std::vector<pyqar::BrowsedNode>> tree_;
};

QModelIndex row_named(const QAbstractItemModel& model, const QModelIndex& parent,
                      const QString& name) {
  for (int row = 0; row < model.rowCount(parent); ++row) {
    const QModelIndex index = model.index(row, 0, parent);
    if (index.data().toString() == name) return index;
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <out.png>\n", argv[0]);
    return 2;
  }
  QApplication app(argc, argv);
  const QString out = QString::fromLocal8Bit(argv[1]);
  BrowseDialog dialog(QStringLiteral("opc.tcp://plant-server:4840"),
                      [](const std::string&) { return std::make_unique<PlantSource>(); });
  dialog.show();

  int status = 0;
  // Each step waits for the worker's answers to the one before.
  QTimer::singleShot(kSettleMsec / 3, &dialog, [&] {
    BrowseTreeModel& model = *dialog.model();
    const QModelIndex plant = row_named(model, {}, QStringLiteral("Plant"));
    dialog.tree()->expand(plant);
    QTimer::singleShot(kSettleMsec / 3, &dialog, [&, plant] {
      dialog.tree()->expand(row_named(model, plant, QStringLiteral("Boiler")));
      dialog.tree()->expand(row_named(model, plant, QStringLiteral("Pumps")));
      QTimer::singleShot(kSettleMsec / 3, &dialog, [&, plant] {
        const QModelIndex boiler = row_named(model, plant, QStringLiteral("Boiler"));
        model.setData(boiler, Qt::Checked, Qt::CheckStateRole);
        const QModelIndex pump1 = row_named(model, row_named(model, plant, QStringLiteral("Pumps")),
                                            QStringLiteral("Pump1"));
        dialog.tree()->expand(pump1);
        QTimer::singleShot(kSettleMsec / 3, &dialog, [&, pump1] {
          model.setData(row_named(model, pump1, QStringLiteral("Speed")), Qt::Checked,
                        Qt::CheckStateRole);
          if (!dialog.grab().save(out)) {
            std::fprintf(stderr, "cannot save %s\n", qPrintable(out));
            status = 1;
          }
          dialog.reject();
          app.quit();
        });
      });
    });
  });
  app.exec();
  return status;
}
