// Makes the touchpad installable: the start page, manifest and icons are cached on install, but
// every answer still comes from the network so a host update shows at once. Control requests
// (POST) and screen streams (.mjpg) are left alone entirely.
const CACHE_NAME = 'touchpad-cache-v8';
const urlsToCache = [
  '/',
  '/manifest.json',
  '/icon-192.png',
  '/icon-512.png'
];

self.addEventListener('install', event => {
  event.waitUntil(
    caches.open(CACHE_NAME).then(cache => cache.addAll(urlsToCache))
  );
});

self.addEventListener('activate', event => {
  event.waitUntil(
    caches.keys()
      .then(names => Promise.all(
        names.filter(name => name !== CACHE_NAME).map(name => caches.delete(name))
      ))
      .then(() => self.clients.claim())
  );
});

self.addEventListener('fetch', event => {
  const request = event.request;
  if (request.method === 'POST' || request.url.includes('.mjpg')) {
    return;
  }
  event.respondWith(
    caches.match(request).then(() => fetch(request))
  );
});

self.addEventListener('message', event => {
  if (event.data === 'skipWaiting') {
    self.skipWaiting();
  }
});
