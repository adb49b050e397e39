# Product constants that differ between deployments. Override at configure time,
# e.g. -DTAVLO_SERVICE_HOST=docs.example.org
set(TAVLO_ORGANIZATION_DOMAIN "tavlo.example" CACHE STRING "Organization domain given to Qt")
set(TAVLO_SERVICE_HOST "www.tavlo.example" CACHE STRING "Web host of the service (share page, update server)")

# What an installation trusts for its updates (Deploy/user-install.sh installs
# both beside TavUpdate). The update host is the repositories' base address,
# ending in "/", written to update_host.dat; the key is the public key file
# "tavrepo keygen" made, installed as update_key.pub. Without a key, the
# installed key file holds none and TavUpdate refuses every update index.
set(TAVLO_UPDATE_HOST "http://${TAVLO_SERVICE_HOST}/tavlo/" CACHE STRING "Base address of the update repositories")
set(TAVLO_UPDATE_KEY "" CACHE FILEPATH "Public key file that signs the update repositories")
