// The host's namespace requests as the operation-table slots make them,
// through the engine's own lookup: CreateFile (create, then close with
// flags 2), CreateDirectory, DeleteFile, DeleteDirectory, Rename and
// RenameDir (lookups, then rename).
#include "namespace_support.h"

#include "kelvnops/mdcudfsr_vnops.h"

#include <string>

namespace {

using namespace ns_test;

class Slots : public NsVolume {
 protected:
  // The engine's lookup of one component of dvp; null when it finds none.
  vnode_t engine_lookup(vnode_t dvp, const std::string& name, std::uint32_t op = LOOKUP) {
    char folder[1024] = {};
    int len = sizeof folder;
    EXPECT_EQ(0, vn_getpath(dvp, folder, &len));
    componentname cn{};
    cn.cn_nameiop = op;
    cn.cn_flags = ISLASTCN;
    cn.cn_pnbuf = folder;
    cn.cn_nameptr = const_cast<char*>(name.c_str());
    cn.cn_namelen = static_cast<int>(name.size());
    vnode_t vp = nullptr;
    vnop_lookup_args a{&vnop_lookup_desc, dvp, &vp, &cn, as(pid_)};
    const int err = mdcudfsr_vnop_lookup(&a);
    return err == 0 ? vp : nullptr;
  }
  int create_file(vnode_t dvp, const std::string& name) {
    vnode_t vp = nullptr;
    int err = create(dvp, name, &vp);
    if (err) return err;
    vnop_close_args c{&vnop_close_desc, vp, 2, as(pid_)};
    return mdcudfsr_vnop_close(&c);
  }
  int rename_slot(vnode_t fdvp, const std::string& from, vnode_t tdvp, const std::string& to) {
    vnode_t fvp = engine_lookup(fdvp, from, RENAME);
    if (!fvp) return 2;
    vnode_t tvp = engine_lookup(tdvp, to, RENAME);
    componentname fcn{}, tcn{};
    fcn.cn_nameptr = const_cast<char*>(from.c_str());
    fcn.cn_namelen = static_cast<int>(from.size());
    tcn.cn_nameptr = const_cast<char*>(to.c_str());
    tcn.cn_namelen = static_cast<int>(to.size());
    vnop_rename_args a{&vnop_rename_desc, fdvp, fvp, &fcn, tdvp, tvp, &tcn, as(pid_)};
    return mdcudfsr_vnop_rename(&a);
  }
};

TEST_F(Slots, NamespaceRequestsThroughTheEngineLookup) {
  ASSERT_EQ(0, create_file(rootvp_, "report.txt"));
  vnode_t file = engine_lookup(rootvp_, "report.txt");
  ASSERT_NE(nullptr, file);
  EXPECT_EQ(MDCUDFSR_NODE_UDF, node(file)->kind) << "closed again after the creation";
  ASSERT_EQ(0, mkdir(rootvp_, "archive"));
  vnode_t archive = engine_lookup(rootvp_, "archive");
  ASSERT_NE(nullptr, archive);
  ASSERT_EQ(0, mkdir(archive, "2026"));
  ASSERT_EQ(0, create_file(engine_lookup(archive, "2026"), "old.bin"));

  ASSERT_EQ(0, rename_slot(rootvp_, "report.txt", rootvp_, "summary.txt"));
  EXPECT_EQ(file, engine_lookup(rootvp_, "summary.txt")) << "the same node under its new name";
  EXPECT_EQ(nullptr, engine_lookup(rootvp_, "report.txt"));
  ASSERT_EQ(0, rename_slot(rootvp_, "archive", rootvp_, "store"));
  EXPECT_EQ(archive, engine_lookup(rootvp_, "store"));
  EXPECT_EQ(nullptr, engine_lookup(rootvp_, "archive"));
  ASSERT_NE(nullptr, engine_lookup(archive, "2026")) << "the folder keeps its children";

  vnode_t victim = engine_lookup(engine_lookup(archive, "2026"), "old.bin");
  ASSERT_NE(nullptr, victim);
  componentname cn{};
  cn.cn_nameptr = const_cast<char*>("old.bin");
  cn.cn_namelen = 7;
  vnop_remove_args r{&vnop_remove_desc, engine_lookup(archive, "2026"), victim, &cn, 0, as(pid_)};
  ASSERT_EQ(0, mdcudfsr_vnop_remove(&r));
  EXPECT_EQ(nullptr, engine_lookup(engine_lookup(archive, "2026"), "old.bin"));
  vnode_t year = engine_lookup(archive, "2026");
  cn.cn_nameptr = const_cast<char*>("2026");
  cn.cn_namelen = 4;
  vnop_rmdir_args d{&vnop_rmdir_desc, archive, year, &cn, as(pid_)};
  ASSERT_EQ(0, mdcudfsr_vnop_rmdir(&d));
  EXPECT_EQ(nullptr, engine_lookup(archive, "2026"));
}

}  // namespace
