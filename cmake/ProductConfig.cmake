# Product constants that differ between deployments. Override at configure time,
# e.g. -DTAVLO_SERVICE_HOST=docs.example.org
set(TAVLO_ORGANIZATION_DOMAIN "tavlo.example" CACHE STRING "Organization domain given to Qt")
set(TAVLO_SERVICE_HOST "www.tavlo.example" CACHE STRING "Web host of the service (share page, update server)")
