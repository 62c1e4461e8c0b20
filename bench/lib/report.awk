# Table and target verdicts from results.tsv lines:
#   scenario <TAB> server <TAB> run <TAB> value=V unit=U key=value...
# Run 0 is the unmeasured warm-up. Variables: servers (space separated,
# Drennik first when present, then Drennik with windows), mode (full|quick|smoke).

function median(a, n,    i, j, t, b) {
    for (i = 1; i <= n; i++) b[i] = a[i]
    for (i = 2; i <= n; i++)
        for (j = i; j > 1 && b[j - 1] > b[j]; j--) { t = b[j]; b[j] = b[j - 1]; b[j - 1] = t }
    return n % 2 ? b[(n + 1) / 2] : (b[n / 2] + b[n / 2 + 1]) / 2
}
function higherBetter(u) { return u == "MB/s" || u == "sessions/s" || u == "deliveries/s" }
function fmt(v) { return sprintf(v >= 100 ? "%.1f" : "%.2f", v) }

BEGIN { FS = "\t"; ns = split(servers, srv, " ") }
{
    sc = $1; sv = $2; run = $3
    if (!(sc in seen)) { seen[sc] = 1; order[++nsc] = sc }
    nkv = split($4, kv, " ")
    for (i = 1; i <= nkv; i++) {
        k = substr(kv[i], 1, index(kv[i], "=") - 1); v = substr(kv[i], index(kv[i], "=") + 1)
        f[k] = v
    }
    if (f["value"] == "ERR") { errs[sc, sv]++; delete f; next }
    unit[sc] = f["unit"]
    fails[sc, sv] += f["failures"] + 0
    # +0 everywhere: values cut out of strings would compare as text.
    if (sc == "lmtpmem") { membase[sv] = f["rss_base_kib"] + 0; mempeak[sv] = f["rss_peak_kib"] + 0; memrate[sv] = f["mbps"] + 0 }
    if (sc == "slowreader") { worst[sv] = f["worst_ms"] + 0; p99[sv] = f["p99_ms"] + 0; over[sv] = f["over50ms"] + 0; peak[sv] = f["rss_peak_kib"] + 0 }
    # Idle scenarios: session times and memory per run. Memory counts the warm-up too, as only
    # the first run grows a heap that later runs reuse.
    if (sc ~ /^idle/) {
        idlep99[sc, sv] = idlep99[sc, sv] " " (f["p99_ms"] + 0); idlemed[sc, sv] = idlemed[sc, sv] " " (f["median_ms"] + 0)
        if (!((sc, sv) in rssmax) || f["rss_growth_kib"] + 0 > rssmax[sc, sv]) rssmax[sc, sv] = f["rss_growth_kib"] + 0
        if (!((sc, sv) in pssmax) || f["pss_growth_kib"] + 0 > pssmax[sc, sv]) pssmax[sc, sv] = f["pss_growth_kib"] + 0
        procs[sc, sv] = f["processes"] + 0
        if (run > 0 || mode == "smoke") { np[sc, sv]++; p99s[sc, sv, np[sc, sv]] = f["p99_ms"] + 0; meds[sc, sv, np[sc, sv]] = f["median_ms"] + 0; cpus[sc, sv, np[sc, sv]] = f["server_cpu_us_per_session"] + 0 }
    }
    if (run > 0 || mode == "smoke") {
        cnt[sc, sv]++; vals[sc, sv, cnt[sc, sv]] = f["value"] + 0; byrun[sc, sv, run] = f["value"] + 0
        runs[sc, run] = 1
        # CPU time of the server's process tree per session (stat ticks, exited children
        # included), and of the X server that shows Drennik's windows.
        if ("cpu_us_per_session" in f) {
            ncpu[sc, sv]++; cpuv[sc, sv, ncpu[sc, sv]] = f["cpu_us_per_session"] + 0
            cpubyrun[sc, sv, run] = f["cpu_us_per_session"] + 0; ticks[sc, sv] += f["cpu_ticks"] + 0
            schedv[sc, sv, ncpu[sc, sv]] = f["sched_us_per_session"] + 0
        }
        if ("extra_cpu_us_per_session" in f) { nx[sc, sv]++; xcpuv[sc, sv, nx[sc, sv]] = f["extra_cpu_us_per_session"] + 0 }
        if ("read_before_reset" in f) {
            nrb[sc, sv]++; rbv[sc, sv, nrb[sc, sv]] = f["read_before_reset"] / 1048576
            rtv[sc, sv, nrb[sc, sv]] = (f["read_before_reset"] + f["read_after_reset"]) / 1048576
        }
    }
    delete f
}
END {
    printf "%-11s %-18s %-11s %11s %11s %11s %5s\n", "scenario", "server", "unit", "median", "min", "max", "runs"
    for (o = 1; o <= nsc; o++) {
        sc = order[o]
        for (s = 1; s <= ns; s++) {
            sv = srv[s]; n = cnt[sc, sv] + 0
            if (n == 0 && !errs[sc, sv]) continue
            delete a; lo = hi = ""
            for (i = 1; i <= n; i++) {
                a[i] = vals[sc, sv, i] + 0
                if (lo == "" || a[i] < lo) lo = a[i]
                if (hi == "" || a[i] > hi) hi = a[i]
            }
            med[sc, sv] = n ? median(a, n) : ""
            extra = errs[sc, sv] ? sprintf("  %d run(s) FAILED", errs[sc, sv]) : ""
            if (sc == "concurrent") extra = extra sprintf("  failures=%d", fails[sc, sv])
            if (ncpu[sc, sv]) {
                delete a2; for (i = 1; i <= ncpu[sc, sv]; i++) a2[i] = cpuv[sc, sv, i]
                cpumed[sc, sv] = median(a2, ncpu[sc, sv])
                delete a2; for (i = 1; i <= ncpu[sc, sv]; i++) a2[i] = schedv[sc, sv, i]
                extra = extra sprintf("  CPU %.1f us/session (%d ticks in all; live threads' schedstat %.1f)", cpumed[sc, sv], ticks[sc, sv], median(a2, ncpu[sc, sv]))
            }
            if (nx[sc, sv]) {
                delete a2; for (i = 1; i <= nx[sc, sv]; i++) a2[i] = xcpuv[sc, sv, i]
                extra = extra sprintf(", Xvfb %.1f us/session", median(a2, nx[sc, sv]))
            }
            if (nrb[sc, sv]) {
                delete a2; for (i = 1; i <= nrb[sc, sv]; i++) a2[i] = rbv[sc, sv, i]
                extra = extra sprintf("  read after the reset; from RETR to the reset: median %.2f MiB", median(a2, nrb[sc, sv]))
                delete a2; for (i = 1; i <= nrb[sc, sv]; i++) a2[i] = rtv[sc, sv, i]
                extra = extra sprintf(", in all: median %.2f MiB", median(a2, nrb[sc, sv]))
            }
            if (sc ~ /^idle/ && np[sc, sv]) {
                delete a2; for (i = 1; i <= np[sc, sv]; i++) a2[i] = p99s[sc, sv, i]
                p99med[sc, sv] = median(a2, np[sc, sv])
                delete a2; for (i = 1; i <= np[sc, sv]; i++) a2[i] = meds[sc, sv, i]
                sm = median(a2, np[sc, sv])
                delete a2; for (i = 1; i <= np[sc, sv]; i++) a2[i] = cpus[sc, sv, i]
                extra = extra sprintf("  session median %.2f ms, p99 %.2f ms, server CPU %.0f us; growth for the idle: RSS %.1f MiB, PSS %.1f MiB (%d process%s)", sm, p99med[sc, sv], median(a2, np[sc, sv]), rssmax[sc, sv] / 1024, pssmax[sc, sv] / 1024, procs[sc, sv], procs[sc, sv] == 1 ? "" : "es")
                if (fails[sc, sv]) extra = extra sprintf("  failures=%d", fails[sc, sv])
            }
            if (sc == "lmtpmem") extra = extra sprintf("  RSS growth while one message was delivered; RSS before %d KiB, sampled peak %d KiB; %.1f MB/s", membase[sv], mempeak[sv], memrate[sv])
            if (sc == "slowreader") extra = extra sprintf("  growth; peak RSS %d KiB; other client: worst %.2f ms, p99 %.2f ms, %d over 50 ms", peak[sv], worst[sv], p99[sv], over[sv])
            if (n) printf "%-11s %-18s %-11s %11s %11s %11s %5d%s\n", sc, sv, unit[sc], fmt(med[sc, sv]), fmt(lo), fmt(hi), n, extra
            else printf "%-11s %-18s %-11s %11s %11s %11s %5d%s\n", sc, sv, unit[sc], "-", "-", "-", 0, extra
            if (errs[sc, sv] || fails[sc, sv]) checks = checks sprintf("CHECK %-11s %-18s %s\n", sc, sv, "FAIL (errors or wrong bytes, see the log above)")
        }
        # Per-pair ratios Drennik / each other server (Drennik with windows / Drennik), and the
        # faster Dovecot set-up.
        best[sc] = ""
        for (s = 2; s <= ns; s++) {
            d = srv[s]
            if (srv[1] != "drennik" || cnt[sc, d] == 0) continue
            num = d == "drennik-x11" ? d : "drennik"; den = d == "drennik-x11" ? "drennik" : d
            delete r; m = 0; delete rc; mc = 0
            for (run = 1; (sc, run) in runs; run++) {
                if (((sc, num, run) in byrun) && ((sc, den, run) in byrun) && byrun[sc, den, run] > 0)
                    r[++m] = byrun[sc, num, run] / byrun[sc, den, run]
                if (((sc, num, run) in cpubyrun) && ((sc, den, run) in cpubyrun) && cpubyrun[sc, den, run] > 0)
                    rc[++mc] = cpubyrun[sc, num, run] / cpubyrun[sc, den, run]
            }
            if (m && sc != "retrreset") {
                if (num == "drennik") ratio[sc, d] = median(r, m)
                printf "%-11s ratio %s/%s, median of %d pairs: %.2fx %s", "", num, den, m, median(r, m), unit[sc]
                if (mc) printf ", %.2fx CPU per session", median(rc, mc)
                printf "\n"
            }
            if (d ~ /^dovecot/ && med[sc, d] != "" && (best[sc] == "" || (higherBetter(unit[sc]) ? med[sc, d] > med[sc, best[sc]] : med[sc, d] < med[sc, best[sc]])))
                best[sc] = d
        }
    }
    printf "\n%s", checks
    if ((("retr64", "drennik") in cnt) || errs["retr64", "drennik"]) target("retr64", best["retr64"], ">=", 1.5, "Drennik MB/s >= 1.5x Dovecot")
    if (("retr64", "reference") in cnt) target("retr64", "reference", ">=", 0.8, "Drennik MB/s >= 0.8x the sendfile reference")
    if ((("sessions", "drennik") in cnt) || errs["sessions", "drennik"]) {
        d = (("sessions", "dovecot-reuse") in cnt) ? "dovecot-reuse" : best["sessions"]
        target("sessions", d, ">=", 3, "Drennik sessions/s >= 3x Dovecot")
    }
    if ((("tlsretr64", "drennik") in cnt) || errs["tlsretr64", "drennik"]) target("tlsretr64", best["tlsretr64"], ">=", 1, "Drennik MB/s over TLS >= Dovecot")
    if ((("tlssessions", "drennik") in cnt) || errs["tlssessions", "drennik"]) target("tlssessions", best["tlssessions"], ">=", 1, "Drennik TLS sessions/s >= Dovecot")
    if ((("list10k", "drennik") in cnt) || errs["list10k", "drennik"]) target("list10k", best["list10k"], "<=", 1, "Drennik ms <= Dovecot ms")
    if ((("concurrent", "drennik") in cnt) || errs["concurrent", "drennik"]) target("concurrent", best["concurrent"], "<=", 1, "0 failures and Drennik wall <= Dovecot")
    if ((("idle10k", "drennik") in cnt) || errs["idle10k", "drennik"]) {
        sc = "idle10k"; ok = !errs[sc, "drennik"] && cnt[sc, "drennik"]
        if (med["sessions", "drennik"] == "") printf "TARGET %-11s %-48s %16s  %s\n", sc, "sessions/s >= 0.8x Drennik's own unloaded figure", "no sessions run", "n/a"
        else { r0 = ok ? med[sc, "drennik"] / med["sessions", "drennik"] : 0
               printf "TARGET %-11s %-48s %16s  %s\n", sc, "sessions/s >= 0.8x Drennik's own unloaded figure", ok ? sprintf("%.2fx", r0) : "no data", (ok && r0 >= 0.8) ? "PASS" : "FAIL" }
        d = ((sc, "dovecot-reuse") in cnt) ? "dovecot-reuse" : best[sc]
        target(sc, d, ">=", 3, "Drennik sessions/s >= 3x Dovecot")
        printf "TARGET %-11s %-48s %16s  %s\n", sc, "p99 session time <= 5 ms", ok ? sprintf("%.2f ms", p99med[sc, "drennik"]) : "no data", ok && p99med[sc, "drennik"] <= 5 ? "PASS" : "FAIL"
        g = rssmax[sc, "drennik"] / 1024
        printf "TARGET %-11s %-48s %16s  %s\n", sc, "RSS growth for the idle connections <= 64 MiB", ok ? sprintf("%.1f MiB", g) : "no data", ok && g <= 64 ? "PASS" : "FAIL"
    }
    if ((("retrreset", "drennik") in cnt) || errs["retrreset", "drennik"]) {
        sc = "retrreset"; ok = !errs[sc, "drennik"] && cnt[sc, "drennik"]; w = 0
        for (i = 1; i <= cnt[sc, "drennik"]; i++) if (vals[sc, "drennik", i] > w) w = vals[sc, "drennik", i]
        printf "TARGET %-11s %-48s %16s  %s\n", sc, "read of the file after a reset <= 4 MiB (worst)", ok ? sprintf("%.2f MiB", w) : "no data", ok && w <= 4 ? "PASS" : "FAIL"
    }
    # Delivery over LMTP: both servers sync every message before they report it delivered.
    split("lmtpseq lmtppipe lmtpconc", lm, " ")
    for (i = 1; i <= 3; i++)
        if (((lm[i], "drennik") in cnt) || errs[lm[i], "drennik"]) target(lm[i], best[lm[i]], ">=", 2, "Drennik deliveries/s >= 2x Dovecot")
    if ((("lmtpmem", "drennik") in cnt) || errs["lmtpmem", "drennik"]) {
        ok = !errs["lmtpmem", "drennik"] && cnt["lmtpmem", "drennik"]
        g = med["lmtpmem", "drennik"]
        printf "TARGET %-11s %-48s %16s  %s\n", "lmtpmem", "RSS growth < 16 MiB", ok ? sprintf("%.1f MiB", g) : "no data", ok && g < 16 ? "PASS" : "FAIL"
    }
    if ((("slowreader", "drennik") in cnt) || errs["slowreader", "drennik"]) {
        ok = !errs["slowreader", "drennik"] && cnt["slowreader", "drennik"]
        g = med["slowreader", "drennik"] / 1024
        printf "TARGET %-11s %-48s %16s  %s\n", "slowreader", "RSS growth <= 32 MiB", ok ? sprintf("%.1f MiB", g) : "no data", ok && g <= 32 ? "PASS" : "FAIL"
        printf "TARGET %-11s %-48s %16s  %s\n", "slowreader", "other client's worst reply < 50 ms", ok ? sprintf("%.2f ms", worst["drennik"]) : "no data", ok && worst["drennik"] < 50 ? "PASS" : "FAIL"
    }
}
# Ratio target against Dovecot set-up d (skipped when Dovecot was not run).
function target(sc, d, op, limit, text,    ok, shown) {
    if (d == "") { printf "TARGET %-11s %-48s %16s  %s\n", sc, text, "no Dovecot", "n/a"; return }
    if (errs[sc, "drennik"] || !((sc, d) in ratio)) { printf "TARGET %-11s %-48s %16s  %s\n", sc, text " (" d ")", "no data", "FAIL"; return }
    ok = op == ">=" ? ratio[sc, d] >= limit : ratio[sc, d] <= limit
    if (sc == "concurrent") ok = ok && fails[sc, "drennik"] == 0
    shown = sprintf("%.2fx", ratio[sc, d])
    if (sc == "concurrent") shown = shown sprintf(", %d fail", fails[sc, "drennik"])
    printf "TARGET %-11s %-48s %16s  %s\n", sc, text " (" d ")", shown, ok ? "PASS" : "FAIL"
}
