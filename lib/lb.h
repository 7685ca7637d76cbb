// The utility library: including this header gives every routine, record and global.
#ifndef LB_LB_H
#define LB_LB_H

#include "err_lb.h"
#include "mem_lb.h"
#include "cnv_lb.h"
#include "s_ech.h"
#include "s_mt.h"
#include "fnd_lb.h"
#include "rm_trl.h"
#include "s_ord.h"
#include "s_s.h"
#include "s_sz.h"
#include "tab_spc.h"
#include "b_b.h"
#include "s_sa.h"
#include "sm_sa.h"
#include "tm_lb.h"
#include "ut_dt.h"
#include "fl_lb.h"
#include "sck_lb.h"
#include "vd_lnx.h"
#include "ch_echt.h"
#include "sm_vd.h"
#include "s_exe.h"
#include "os_vsn.h"
#include "cl_lb.h"
#include "ff1_lb.h"

#endif
