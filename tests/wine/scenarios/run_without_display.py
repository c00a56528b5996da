"""With no display the confirmation dialog fails (neither OK nor Cancel): the
run goes on to its end, repairs and exits with 0."""

from morvane_expect import check_log_and_console, normal_run


def run(s):
    with s.prefix() as p:
        r = p.run_morvane(display=None)
        s.check_run(r, 0)
        check_log_and_console(s, r, p.read_log(), normal_run("Windows 7"))
        s.check_equal(p.reg_query(r"HKLM\Software\Classes\.exe"), "exefile", ".exe class")
