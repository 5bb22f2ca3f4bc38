# Stops the page's build with a clear message when its npm packages are not
# installed, or are older than the lockfile.
set(installed ${WEB_DIR}/node_modules/.package-lock.json)
if(NOT EXISTS ${installed})
  message(FATAL_ERROR "The studio page's npm packages are missing (web/node_modules): run make setup")
endif()
if(${WEB_DIR}/package-lock.json IS_NEWER_THAN ${installed})
  message(FATAL_ERROR "The studio page's npm packages are older than web/package-lock.json: run make setup")
endif()
