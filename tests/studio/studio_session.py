"""`qz studio` and headless Chromium, started for the studio's test and benchmark."""
import os
import subprocess

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

CHROMIUM, CHROMEDRIVER = '/usr/bin/chromium', '/usr/bin/chromedriver'

# Without a GPU, the page's WebGL2 runs on Chromium's software renderer, which
# newer Chromium versions offer only when asked with --enable-unsafe-swiftshader.
BROWSER_OPTIONS = ['--headless=new', '--no-sandbox', '--disable-gpu', '--enable-unsafe-swiftshader',
                   '--disable-dev-shm-usage', '--disable-quic',
                   '--no-first-run', '--disable-background-networking', '--disable-component-update',
                   '--disable-sync', '--window-size=1400,900']


def browser_installed():
    return os.path.exists(CHROMIUM) and os.path.exists(CHROMEDRIVER)


def start_studio(qz, root, *flow, env=None):
    """`qz studio` on a free port (in environment `env`, else this one); returns the process and the URL it prints."""
    server = subprocess.Popen([qz, 'studio', *flow, '--root', root], stdout=subprocess.PIPE, text=True, env=env)
    line = server.stdout.readline()
    if not line.startswith('qz studio: http://'):
        server.kill()
        raise RuntimeError(f'qz studio printed {line!r}')
    return server, line.split(': ', 1)[1].strip()


def start_browser(profile):
    """Headless Chromium with a fresh profile folder and nothing fetched in the background."""
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in BROWSER_OPTIONS + [f'--user-data-dir={profile}']:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
