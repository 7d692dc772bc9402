#!/usr/bin/env python3
"""Pictures of the web console for the documentation, not a test: the built service in a fresh
program folder, three clients from three computers, one of them followed, and each view at a
desktop's and a phone's width, as web-<view>-<width>.png in OUTDIR.

usage: tests/browser/screenshots.py OUTDIR [BUILD_DIR]   (BUILD_DIR defaults to build/)"""

import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

SIZES = [(1280, 800), (375, 812)]
VIEWS = ["estado", "usuarios", "sucesos", "bases", "copias"]
CLIENTS = [("127.0.0.2", "CAJA-1", "luis"), ("127.0.0.3", "ALMACEN", "marta"), ("127.0.0.4", "OFICINA", "pedro")]
ACTIVITY = ["Abre pedidos", "Abre factura 12", "Imprime albarán 3401"]
WARM_SECONDS = 90


def make_traffic(server, clients):
    """A minute and a half of the service at work before the pictures, so that the chart, which
    begins with the server's own samples, has something to show: messages at a changing pace,
    and a fourth user who comes and goes."""
    visitor = None
    started = time.monotonic()
    while (elapsed := time.monotonic() - started) < WARM_SECONDS:
        if visitor is None and 25 < elapsed < 55:
            visitor = harness.Client(server, "127.0.0.5").sign_in("CAJA-2", "rosa")
        elif visitor is not None and elapsed >= 55:
            visitor.close()
            visitor = None
        burst = 1 + int(elapsed) % 7
        for client in clients[:burst % len(clients) + 1]:
            client.send("LOG " + "x" * (20 * burst))  # nobody follows yet: dropped
        time.sleep(0.5)
    if visitor is not None:
        visitor.close()


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip().splitlines()[-1])
        return 2
    missing = harness.missing_tools()
    if missing:
        print("Needs " + ", ".join(missing))
        return 1
    from selenium.webdriver.common.by import By

    out = os.path.abspath(argv[1])
    os.makedirs(out, exist_ok=True)
    build = argv[2] if len(argv) > 2 else os.path.join(os.path.dirname(__file__), "../../build")
    server = harness.Server(build)
    clients = []
    browser = None
    try:
        server.start()
        clients = [harness.Client(server, address).sign_in(session, user) for address, session, user in CLIENTS]
        make_traffic(server, clients)
        browser = harness.start_browser(*SIZES[0])

        def find(css):
            return browser.find_element(By.CSS_SELECTOR, css)

        def until(condition, what):
            def attempt():
                try:
                    return condition()
                except Exception:  # not there yet, or replaced while looked at
                    return False
            harness.wait_until(attempt, 10, what)

        browser.get(server.url)
        until(lambda: find("#login-user").is_displayed(), "the login form")
        find("#login-user").send_keys(harness.WEB_USER)
        find("#login-password").send_keys(harness.WEB_PASSWORD)
        find("#login-submit").click()
        until(lambda: find("main#console").is_displayed(), "the console")

        # marta followed, with some activity in her panel.
        browser.execute_script("location.hash = '#usuarios'")
        until(lambda: find('#users-table tr[data-user="marta"]').is_displayed(), "marta's row")
        find('#users-table tr[data-user="marta"]').click()
        find("#user-follow").click()
        until(lambda: find("section#follow-panel").is_displayed(), "the follow panel")
        clients[1].wait_for("LOG")
        for line in ACTIVITY:
            clients[1].send("LOG " + line)
            until(lambda: line in find("ol#follow-lines").get_attribute("textContent"), "the line " + line)

        for width, height in SIZES:
            # The page's own size, whatever the window adds around it.
            browser.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                    {"width": width, "height": height, "deviceScaleFactor": 1,
                                     "mobile": width < 600})
            for view in VIEWS:
                browser.execute_script("location.hash = arguments[0]", "#" + view)
                until(lambda: find("#view-" + view).is_displayed(), "the view " + view)
                browser.execute_script("window.scrollTo(0, 0)")
                # Let the view's data and transitions settle before the picture (not a check).
                browser.execute_script("return new Promise(done => setTimeout(done, 700))")
                path = os.path.join(out, "web-%s-%d.png" % (view, width))
                browser.save_screenshot(path)
                print(path)
        return 0
    finally:
        if browser is not None:
            browser.quit()
        for client in clients:
            client.close()
        server.stop()


if __name__ == "__main__":
    sys.exit(main(sys.argv))
