#!/usr/bin/env python3
"""The web console in headless Chromium against the built service: logging in, the users list as
clients come and go, following one, disconnecting another, the event log, the backup editor, and
the login's ban after five failures; part of it with the keyboard only.

Exits 77 (skipped) when Chromium, chromedriver or Selenium are not installed, 1 then with
OSK_REQUIRE_BROWSER=1 (scripts/test.sh, which installs them)."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

try:
    from selenium.common.exceptions import NoSuchElementException, StaleElementReferenceException
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import Select
except ImportError:
    pass  # main() says what is missing and skips

BUILD_DIR = os.environ.get("BUILD_DIR", os.path.join(os.path.dirname(__file__), "../../build"))
SKIP = 77
WAIT = 10  # seconds for anything the page shows after the server did it


class WebConsole(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.browser = harness.start_browser(1280, 800)

    @classmethod
    def tearDownClass(cls):
        cls.browser.quit()

    def setUp(self):
        self.server = harness.Server(BUILD_DIR)
        self.addCleanup(self.server.stop)
        self.server.start()
        self.browser.delete_all_cookies()

    # --- helpers -------------------------------------------------------------------------------

    def find(self, css):
        return self.browser.find_element(By.CSS_SELECTOR, css)

    def find_all(self, css):
        return self.browser.find_elements(By.CSS_SELECTOR, css)

    def wait(self, condition, what, timeout=WAIT):
        def attempt():
            try:
                return condition()
            except (NoSuchElementException, StaleElementReferenceException):
                return False
        return harness.wait_until(attempt, timeout, what)

    def text_of(self, css):
        return self.find(css).get_attribute("textContent").strip()

    def wait_text(self, css, text, timeout=WAIT, within=False):
        """Waits until the text of `css` is `text`, or holds it `within` a longer one."""
        seen = []

        def reads():
            seen[:] = [self.text_of(css)]
            return text in seen[0] if within else seen[0] == text
        self.wait(reads, lambda: "%s to read %r (it read %r)" % (css, text, seen[-1] if seen else None), timeout)

    def shown(self, css):
        return self.find(css).is_displayed()

    def line_holding(self, list_css, *texts):
        """The first li of `list_css` whose text holds every one of `texts`, or None."""
        for line in self.find_all(list_css + " > li"):
            content = line.get_attribute("textContent")
            if all(text in content for text in texts):
                return line
        return None

    def wait_line(self, list_css, *texts, timeout=WAIT):
        return self.wait(lambda: self.line_holding(list_css, *texts),
                         "a line of %s holding %r" % (list_css, texts), timeout)

    def row(self, user):
        return self.find('#users-table tbody tr[data-user="%s"]' % user)

    def rows(self):
        return [row.get_attribute("data-user") for row in self.find_all("#users-table tbody tr[data-user]")]

    def show_view(self, name):
        self.find('nav#views a[href="#%s"]' % name).click()
        self.wait(lambda: self.shown("#view-" + name), "the view " + name)

    def press(self, *keys):
        ActionChains(self.browser).send_keys(*keys).perform()

    def tab_to(self, css, limit=60):
        """Tabs until the focus is on the element `css`, at most `limit` times."""
        target = self.find(css)
        for _ in range(limit):
            if self.browser.switch_to.active_element == target:
                return
            self.press(Keys.TAB)
        self.fail("Tab never reached " + css)

    def tab_to_row(self, user):
        """Focuses the row of `user` with Tab, or, where only one row at a time takes the focus
        from Tab, with the arrow keys from the row that does."""
        target = self.row(user)
        for _ in range(60):
            active = self.browser.switch_to.active_element
            if active == target:
                return
            if active.get_attribute("data-user") and active.tag_name == "tr":
                rows = self.find_all("#users-table tbody tr[data-user]")
                self.press(Keys.ARROW_DOWN if rows.index(active) < rows.index(target) else Keys.ARROW_UP)
                if self.browser.switch_to.active_element != active:
                    continue
            self.press(Keys.TAB)
        self.fail("the keyboard never reached the row of " + user)

    def confirm_if_asked(self):
        dialog = self.find("dialog#confirm")
        if dialog.get_attribute("open") is not None:
            self.find("#confirm-yes").click()
            self.wait(lambda: self.find("dialog#confirm").get_attribute("open") is None, "the dialog to close")

    def open_page(self):
        self.browser.get(self.server.url)
        self.wait(lambda: self.shown("form#login-form"), "the login form")
        self.assertFalse(self.shown("main#console"))

    def submit_login(self, password, with_enter=False):
        """Fills the form and sends it; the message is emptied first so that an answer that
        repeats the last one is still seen coming."""
        self.browser.execute_script("document.getElementById('login-message').textContent = ''")
        self.wait(lambda: self.find("#login-submit").is_enabled(), "the login button to be enabled")
        user, field = self.find("#login-user"), self.find("#login-password")
        user.clear()
        user.send_keys(harness.WEB_USER)
        field.clear()
        field.send_keys(password)
        if with_enter:
            field.send_keys(Keys.ENTER)
        else:
            self.find("#login-submit").click()

    # --- the scenarios -------------------------------------------------------------------------

    def test_console(self):

        server = self.server
        clients = {}

        def sign_in(address, session, user):
            clients[user] = harness.Client(server, address).sign_in(session, user)
            self.addCleanup(clients[user].close)
            return clients[user]

        sign_in("127.0.0.2", "CAJA-2", "luis")
        sign_in("127.0.0.3", "CAJA-3", "marta")

        # A wrong password is told and leaves the console hidden; the right one, sent with Enter,
        # opens it on the service's state.
        self.open_page()
        self.submit_login("no-es-esta")
        self.wait_text("#login-message", "Usuario o contraseña incorrectos.")
        self.assertFalse(self.shown("main#console"))
        self.submit_login(harness.WEB_PASSWORD, with_enter=True)
        self.wait(lambda: self.shown("main#console"), "the console after the login")
        self.assertIsNotNone(self.find("section#login").get_attribute("hidden"))

        self.wait_text("#service-state", "Servicio iniciado")
        self.assertFalse(self.find("#service-start").is_enabled())
        self.assertTrue(self.find("#service-stop").is_enabled())
        self.wait_text("#state-users", "2 de 20")
        self.assertEqual(float(self.find("meter#state-users-gauge").get_attribute("value")), 2)
        self.assertEqual(float(self.find("meter#state-users-gauge").get_attribute("max")), 20)
        self.assertIn(str(server.port), self.text_of("#state-port"))

        # To the users with the keyboard: both rows, as the console writes them.
        self.tab_to('nav#views a[href="#usuarios"]')
        self.press(Keys.ENTER)
        self.wait(lambda: self.shown("#view-usuarios"), "the users view")
        self.assertFalse(self.shown("#view-estado"))
        self.wait(lambda: sorted(self.rows()) == ["luis", "marta"], "the rows of luis and marta")
        self.assertEqual(self.row("luis").find_element(By.CSS_SELECTOR, "td").get_attribute("textContent").strip(),
                         "127.0.0.2  [luis] en [CAJA-2]")
        self.assertFalse(self.find("#user-follow").is_enabled())
        self.assertFalse(self.find("#user-disconnect").is_enabled())

        # A third comes in and is listed without a reload.
        pedro = sign_in("127.0.0.4", "CAJA-4", "pedro")
        self.wait(lambda: "pedro" in self.rows(), "the row of pedro without a reload", timeout=2)
        self.assertEqual(sorted(self.rows()), ["luis", "marta", "pedro"])

        # marta followed with the keyboard only: Tab to her row, Space selects it, Tab to
        # "Seguimiento", Enter. Her program is told to send its activity, and what it sends shows.
        marta = clients["marta"]
        before = len(marta.received())
        self.tab_to_row("marta")
        self.press(Keys.SPACE)
        self.wait(lambda: self.row("marta").get_attribute("aria-selected") == "true", "marta's row selected")
        self.assertNotEqual(self.row("luis").get_attribute("aria-selected"), "true")
        self.tab_to("#user-follow")
        self.press(Keys.ENTER)
        self.wait(lambda: self.shown("section#follow-panel"), "the follow panel")
        self.assertIn("marta", self.text_of("#follow-user"))
        marta.wait_for("LOG", start=before)
        marta.send("LOG abriendo factura 12")
        self.wait_line("ol#follow-lines", "abriendo factura 12")
        # Closing the panel ends the tracking: the client is told to stop.
        before = len(marta.received())
        self.find("#follow-close").click()
        self.wait(lambda: not self.shown("section#follow-panel"), "the follow panel to close")
        marta.wait_for("NOLOG", start=before)

        # luis disconnected with the mouse, after the confirmation.
        luis = clients["luis"]
        self.row("luis").click()
        self.wait(lambda: self.row("luis").get_attribute("aria-selected") == "true", "luis's row selected")
        self.assertNotEqual(self.row("marta").get_attribute("aria-selected"), "true")
        # Someone else coming in redraws the rows: the selection stays.
        eva = sign_in("127.0.0.5", "CAJA-6", "eva")
        self.wait(lambda: "eva" in self.rows(), "eva's row")
        self.assertEqual(self.row("luis").get_attribute("aria-selected"), "true")
        self.assertTrue(self.find("#user-disconnect").is_enabled())
        # Escape answers the question No; then Yes.
        self.find("#user-disconnect").click()
        self.wait(lambda: self.find("dialog#confirm").get_attribute("open") is not None, "the confirmation")
        self.press(Keys.ESCAPE)
        self.wait(lambda: self.find("dialog#confirm").get_attribute("open") is None, "Escape to close the question")
        self.find("#user-disconnect").click()
        self.wait(lambda: self.find("dialog#confirm").get_attribute("open") is not None, "the confirmation")
        self.assertFalse(luis.closed())
        self.find("#confirm-yes").click()
        luis.wait_closed(timeout=5)
        self.wait(lambda: "luis" not in self.rows(), "luis's row to go")
        self.assertEqual(sorted(self.rows()), ["eva", "marta", "pedro"])
        self.assertFalse(eva.closed())

        # The event log names the web user as the author, and the disconnection as an error.
        self.show_view("sucesos")
        self.wait_line("ol#log-lines", "Orden de administración [disconnect luis]", "ana por la web desde 127.0.0.1")
        gone = self.wait_line("ol#log-lines", "Usuario [luis] en [CAJA-2] desconectado manualmente.")
        self.assertEqual(gone.get_attribute("data-kind"), "3")
        # Each kind with the console's icon, named for a screen reader.
        for text, icon, name in [("desconectado manualmente", "log-error.png", "Error"),
                                 ("Validado usuario [pedro]", "log-info.png", "Información"),
                                 ("Inicio de sesión para [CAJA-4] completado.", "log-done.png", "Realizado")]:
            image = self.line_holding("ol#log-lines", text).find_element(By.TAG_NAME, "img")
            self.assertTrue(image.get_attribute("src").endswith("/icons/" + icon), text)
            self.assertEqual(image.get_attribute("alt"), name)
        self.assertTrue(self.line_holding("ol#log-lines", "Validado usuario [pedro] en [CAJA-4]."))
        # A new line while the view is shown comes without a reload (127.0.0.2 is free again).
        sign_in("127.0.0.2", "CAJA-5", "rosa")
        self.wait_line("ol#log-lines", "Validado usuario [rosa] en [CAJA-5].")
        # Only the errors, then all again.
        Select(self.find("select#log-kind")).select_by_value("3")
        self.wait(lambda: not self.line_holding("ol#log-lines", "Validado usuario [rosa]") or
                  not self.line_holding("ol#log-lines", "Validado usuario [rosa]").is_displayed(),
                  "the filter to leave out the validations")
        shown = [line for line in self.find_all("ol#log-lines > li") if line.is_displayed()]
        self.assertTrue(any("desconectado manualmente" in line.get_attribute("textContent") for line in shown))
        self.assertEqual({line.get_attribute("data-kind") for line in shown}, {"3"})
        Select(self.find("select#log-kind")).select_by_value("")
        self.wait(lambda: self.line_holding("ol#log-lines", "Validado usuario [rosa]").is_displayed(),
                  "all the lines again")

        # The backup editor is read-only while the service runs; stopped, it checks the hour.
        self.show_view("copias")
        self.assertFalse(self.find("#backup-1 select[name=type]").is_enabled())
        self.assertFalse(self.find("#backup-1 input[name=hour]").is_enabled())
        self.show_view("estado")
        self.find("#service-stop").click()
        self.confirm_if_asked()
        self.wait_text("#service-state", "Servicio detenido")
        pedro.wait_for("CLOSED")
        self.assertTrue(self.find("#service-start").is_enabled())
        self.assertFalse(self.find("#service-stop").is_enabled())
        self.show_view("copias")
        self.wait(lambda: self.find("#backup-1 select[name=type]").is_enabled(), "the editor to be enabled")

        def enabled_fields():
            return [name for name in ("database", "day", "hour", "minute", "file")
                    if self.find("#backup-1 [name=%s]" % name).is_enabled()]
        # The editor's rules: an inactive schedule has nothing to set, a daily one no day.
        self.assertEqual(enabled_fields(), [])
        Select(self.find("#backup-1 select[name=type]")).select_by_visible_text("Semanal")
        self.assertEqual(enabled_fields(), ["database", "day", "hour", "minute", "file"])
        Select(self.find("#backup-1 select[name=day]")).select_by_visible_text("Viernes")
        Select(self.find("#backup-1 select[name=type]")).select_by_visible_text("Diaria")
        self.assertEqual(enabled_fields(), ["database", "hour", "minute", "file"])
        hour = self.find("#backup-1 input[name=hour]")
        hour.clear()
        hour.send_keys("25")
        self.find("#backup-1 input[name=file]").clear()
        self.find("#backup-1 input[name=file]").send_keys(os.path.join(server.home, "copia.obk"))
        self.find("#backup-1 button.backup-save").click()
        self.wait_text("#backup-message", "Información de hora incorrecta.", within=True)
        with open(os.path.join(server.home, "OskServer.INI"), encoding="utf-8", errors="replace") as ini:
            self.assertNotIn("copia.obk", ini.read())
        # Weekly on Fridays at 21:30, saved, is what the page shows after a reload.
        Select(self.find("#backup-1 select[name=type]")).select_by_visible_text("Semanal")
        Select(self.find("#backup-1 select[name=day]")).select_by_visible_text("Viernes")
        hour.clear()
        hour.send_keys("21")
        self.find("#backup-1 input[name=minute]").clear()
        self.find("#backup-1 input[name=minute]").send_keys("30")
        self.find("#backup-1 button.backup-save").click()
        self.wait_text("#notice", "Copia de Seguridad 1 guardada.")
        self.browser.refresh()
        self.wait(lambda: self.find("#backup-1 select[name=day]").get_attribute("value") == "Viernes",
                  "the stored day after a reload")
        self.assertEqual(self.find("#backup-1 input[name=hour]").get_attribute("value"), "21")
        self.assertEqual(self.find("#backup-1 input[name=minute]").get_attribute("value"), "30")
        # Started again, the editor is read-only once more.
        self.show_view("estado")
        self.find("#service-start").click()
        self.wait_text("#service-state", "Servicio iniciado")
        self.show_view("copias")
        self.wait(lambda: not self.find("#backup-1 select[name=type]").is_enabled(), "the editor read-only again")

        # Logging out brings the form back, and a reload does not skip it.
        self.find("#logout").click()
        self.wait(lambda: self.shown("form#login-form"), "the login form after the logout")
        self.assertFalse(self.shown("main#console"))
        self.open_page()

    def downloaded(self, folder, name):
        path = os.path.join(folder, name)
        self.wait(lambda: os.path.exists(path) and not os.path.exists(path + ".crdownload"),
                  "the download of " + name)
        with open(path, "rb") as file:
            return file.read()

    def test_databases_files_and_an_ended_session(self):
        server = self.server
        downloads = tempfile.mkdtemp(prefix="osk-downloads-")
        self.addCleanup(shutil.rmtree, downloads, True)
        self.browser.execute_cdp_cmd("Browser.setDownloadBehavior", {"behavior": "allow", "downloadPath": downloads})
        marta = harness.Client(server, "127.0.0.3").sign_in("ALMACEN", "marta")
        self.addCleanup(marta.close)
        # Through a relay whose connections can be cut as a network's are.
        relay = harness.Relay(server.web_port)
        self.addCleanup(relay.close)
        self.browser.get(relay.url)
        self.wait(lambda: self.shown("form#login-form"), "the login form")
        self.submit_login(harness.WEB_PASSWORD)
        self.wait(lambda: self.shown("main#console"), "the console after the login")

        # The chart starts from the server's own samples, with marta among them.
        # Marta's sign-in is in the bytes of those samples, not in the page's own.
        self.wait(lambda: self.browser.execute_script(
            "const c = Chart.getChart('state-chart'); return c && c.data.datasets[0].data.includes(1) && "
            "c.data.datasets[1].data.some((bytes) => bytes > 1);"),
            "points of the chart with marta connected and her bytes")

        # The followed lines saved as the tracking window saves them: Windows-1252, CR LF.
        self.show_view("usuarios")
        self.wait(lambda: self.rows() == ["marta"], "marta's row")
        self.row("marta").click()
        self.find("#user-follow").click()
        marta.wait_for("LOG")
        marta.send("LOG ¿guardó la ficha nº 3? ¡sí!")
        self.wait_line("ol#follow-lines", "¿guardó la ficha nº 3? ¡sí!")
        self.find("#follow-save").click()
        saved = self.downloaded(downloads, "marta.txt")
        self.assertRegex(saved, rb"^\[\d\d/\d\d/\d{4}\]\r\n-{14}\r\n\r\n\[\d\d:\d\d:\d\d\]  "
                                rb"\xbfguard\xf3 la ficha n\xba 3\? \xa1s\xed!\r\n$")
        # Her program ends: the panel says so.
        marta.close()
        self.wait_text("#follow-state", "La sesión del usuario ha terminado.")

        # Today's file, saved from the page, downloaded byte for byte.
        self.show_view("sucesos")
        self.find("#log-save").click()
        self.wait_text("#notice", "Registro de eventos guardado.")
        self.find("#log-download").click()
        logs = os.listdir(os.path.join(server.home, "Log"))
        day = [name for name in logs if name.endswith(".log")]
        self.assertEqual(len(day), 1, logs)
        with open(os.path.join(server.home, "Log", day[0]), "rb") as file:
            self.assertEqual(self.downloaded(downloads, day[0]), file.read())

        # A database deleted only after the console's question is answered yes.
        self.show_view("bases")
        demo = '#db-table tbody tr[data-database="oskdemo"]'
        self.wait(lambda: self.find(demo), "the row of oskdemo")
        self.find(demo).click()
        self.find("#db-delete").click()
        self.wait_text("#confirm-text", "Va a eliminar una Base de Datos que puede estar en uso, ¿Desea continuar?")
        self.find("#confirm-no").click()
        self.assertTrue(self.find(demo))
        self.find("#db-delete").click()
        self.wait(lambda: self.find("dialog#confirm").get_attribute("open") is not None, "the question again")
        self.find("#confirm-yes").click()
        self.wait(lambda: not self.find_all(demo), "oskdemo's row to go")

        # A question about a user who leaves meanwhile is taken back.
        pablo = harness.Client(server, "127.0.0.4").sign_in("OFICINA", "pablo")
        self.addCleanup(pablo.close)
        self.show_view("usuarios")
        self.wait(lambda: self.find('#users-table tr[data-user="pablo"]'), "pablo's row")
        self.row("pablo").click()
        self.find("#user-disconnect").click()
        self.wait(lambda: self.find("dialog#confirm").get_attribute("open") is not None, "the question on pablo")
        pablo.close()
        self.wait(lambda: self.find("dialog#confirm").get_attribute("open") is None, "the question to go with pablo")
        self.assertFalse(self.server.logged("Orden de administración [disconnect pablo]"))

        # The connections cut, the session still there: the page opens its streams again.
        relay.cut()
        rosa = harness.Client(server, "127.0.0.5").sign_in("CAJA-7", "rosa")
        self.addCleanup(rosa.close)
        self.wait(lambda: "rosa" in self.rows(), "rosa's row through the streams opened again")

        # A second tab shares the login, and a login there leaves this one working.
        first = self.browser.current_window_handle
        self.browser.switch_to.new_window("tab")
        self.browser.get(relay.url + "#sucesos")
        self.wait(lambda: self.shown("#view-sucesos"), "the second tab's console without a login")
        self.browser.close()
        self.browser.switch_to.window(first)
        self.show_view("bases")

        # The session ended elsewhere: back to the login, and after it to the same view.
        self.browser.execute_script(
            "fetch('/api/logout', {method: 'POST', headers: {'Content-Type': 'application/json', "
            "'X-Osk-Token': localStorage.getItem('osk-token')}, body: '{}'});")
        self.wait_text("#login-message", "La sesión ha terminado: vuelva a iniciarla.")
        self.assertFalse(self.shown("main#console"))
        self.submit_login(harness.WEB_PASSWORD)
        self.wait(lambda: self.shown("#view-bases"), "the databases view after the new login")

        # The server gone: the page says so while it tries again.
        server.process.terminate()
        server.process.wait(timeout=15)
        self.wait_text("#notice", "No se puede conectar con el servidor: se reintentará.")

    def test_login_closed_after_five_failures(self):
        self.open_page()
        for attempt in range(5):
            self.submit_login("incorrecta%d" % attempt)
            self.wait_text("#login-message", "Usuario o contraseña incorrectos.")
        # Now even the right password is turned away, for a minute.
        self.submit_login(harness.WEB_PASSWORD)
        self.wait_text("#login-message", "Demasiados intentos fallidos desde esta dirección: espere un minuto.")
        self.assertFalse(self.shown("main#console"))


def main():
    missing = harness.missing_tools()
    if missing:
        print("The browser tests need " + ", ".join(missing) +
              " (apt-get install chromium chromium-driver python3-selenium).")
        # Where the tools were installed for the tests, their absence is a failure, not a skip.
        return 1 if os.environ.get("OSK_REQUIRE_BROWSER") == "1" else SKIP
    program = unittest.main(module=__name__, exit=False, verbosity=2)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
